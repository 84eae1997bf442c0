#include "platform/ui/controls.h"

#include "platform/lists/drive_list.h"
#include "platform/lists/file_list.h"
#include "platform/lists/folder_list.h"
#include "platform/ui/figure_view.h"
#include "platform/ui/form.h"
#include "platform/ui/widgets.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <stdexcept>

namespace kv {

Control::Control(Form& owner, const char* name) : owner_(owner), name_(name) {
    if (!owner.design().control(name))
        throw std::logic_error(std::string("control not in the window's design: ") + name);
    owner.attach(this);
}

void Control::raise(const char* event, const Handler& handler) const {
    traceEvent(name_, event);
    raiseEvent(handler);
}

QWidget* Control::widget() const {
    owner_.ensureLoaded();
    return owner_.controlWidget(name_);
}

QString Label::caption() const {
    return static_cast<LabelWidget*>(widget())->caption();
}

void Label::setCaption(const QString& text) {
    static_cast<LabelWidget*>(widget())->setCaption(text);
}

void Label::setCaption(const FilePath& path) {
    static_cast<LabelWidget*>(widget())->setCaption(path.text, path.native);
}

FilePath Label::file() const {
    const auto* label = static_cast<LabelWidget*>(widget());
    return {label->caption(), label->file().isEmpty() ? nativePath(label->caption()) : label->file()};
}

Picture Image::picture() const {
    return static_cast<ImageWidget*>(widget())->picture();
}

Picture PictureBox::picture() const {
    return static_cast<PictureBoxWidget*>(widget())->picture();
}

void PictureBox::setPicture(const Picture& picture) {
    static_cast<PictureBoxWidget*>(widget())->setPicture(picture);
}

void PictureBox::connect(QWidget* w) {
    static_cast<PictureBoxWidget*>(w)->onOpen = [this] { raise("DblClick", dblClick_); };
}

namespace {
FigureViewWidget* figureView(QWidget* w) {
    return static_cast<FigureViewWidget*>(w);
}
} // namespace

Picture FigureView::picture() const {
    return figureView(widget())->picture();
}
void FigureView::setPicture(const Picture& picture) {
    figureView(widget())->setPicture(picture);
}
void FigureView::follow(const PictureBox& box) {
    auto* view = figureView(widget());
    auto* shown = static_cast<PictureBoxWidget*>(box.widget());
    view->setPicture(shown->picture());
    QObject::connect(shown, &PictureBoxWidget::pictureChanged, view,
                     [view, shown] { view->setPicture(shown->picture()); });
}
QString FigureView::fileName() const {
    return QFileInfo(picture().fileName()).fileName();
}
QSize FigureView::figureSize() const {
    return picture().size();
}
QString FigureView::zoomText() const {
    return figureView(widget())->zoomText();
}
void FigureView::sizeWindowToFigure() {
    figureView(widget())->sizeWindowToFigure();
}
void FigureView::connect(QWidget* w) {
    figureView(w)->onZoomChange = [this] { raise("ZoomChange", zoomChange_); };
}

void Button::connect(QWidget* w) {
    auto* button = static_cast<QAbstractButton*>(w);
    QObject::connect(button, &QAbstractButton::clicked, button, [this] { raise("Click", click_); });
}

void Button::click() {
    // Straight to the handler rather than through Qt's clicked signal, so that a
    // failure nested in the caller's handler unwinds through this program's code only.
    if (!widget()->isEnabled())
        return; // a disabled button, or one of a disabled window, runs nothing
    raise("Click", click_);
}

namespace {
DriveListWidget* driveList(QWidget* w) {
    return static_cast<DriveListWidget*>(w);
}
DirListWidget* dirList(QWidget* w) {
    return static_cast<DirListWidget*>(w);
}
FileListWidget* fileList(QWidget* w) {
    return static_cast<FileListWidget*>(w);
}
} // namespace

QString DriveList::drive() const {
    return driveList(widget())->drive();
}
void DriveList::setDrive(const QString& path) {
    driveList(widget())->setDrive(path);
}
void DriveList::restoreDrive(const QString& path) {
    driveList(widget())->restoreDrive(path);
}
void DriveList::connect(QWidget* w) {
    driveList(w)->onChange = [this] { raise("Change", change_); };
}

QString DirList::path() const {
    return dirList(widget())->path();
}
void DirList::setPath(const QString& path) {
    dirList(widget())->setPath(path);
}
void DirList::connect(QWidget* w) {
    dirList(w)->onChange = [this] { raise("Change", change_); };
}

QString FileList::path() const {
    return fileList(widget())->path();
}
void FileList::setPath(const QString& path) {
    fileList(widget())->setPath(path);
}
QString FileList::fileName() const {
    return fileList(widget())->fileName();
}
FilePath FileList::filePath() const {
    return fileList(widget())->filePath();
}
bool FileList::chooseFile(const QByteArray& name) {
    return fileList(widget())->chooseFile(name);
}
void FileList::connect(QWidget* w) {
    fileList(w)->onClick = [this] { raise("Click", click_); };
}

} // namespace kv
