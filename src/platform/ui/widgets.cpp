#include "platform/ui/widgets.h"

#include "platform/lists/drive_list.h"
#include "platform/lists/file_list.h"
#include "platform/lists/folder_list.h"
#include "platform/runtime/clipboard_data.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/accessibility.h"
#include "platform/ui/drag_drop.h"
#include "platform/ui/figure_view.h"
#include "platform/ui/form.h"
#include "platform/ui/units.h"
#include "platform/world/picture_file.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <utility>

namespace kv {

namespace {

QRect pixelRect(const ControlDesign& d) {
    return QRect(twipsToPixels(d.left), twipsToPixels(d.top), twipsToPixels(d.width),
                 twipsToPixels(d.height));
}

QColor colorOr(OleColor c, OleColor fallback) {
    return toQColor(c == kDefaultColor ? fallback : c);
}

void drawEdge(QPainter& p, const QRect& r, const QColor& outerTopLeft, const QColor& outerBottomRight,
              const QColor& innerTopLeft, const QColor& innerBottomRight) {
    if (r.width() < 4 || r.height() < 4)
        return;
    const int l = r.left(), t = r.top(), rt = r.right(), b = r.bottom();
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    auto hline = [&](int x1, int x2, int y, const QColor& c) {
        p.fillRect(QRect(QPoint(x1, y), QPoint(x2, y)), c);
    };
    auto vline = [&](int x, int y1, int y2, const QColor& c) {
        p.fillRect(QRect(QPoint(x, y1), QPoint(x, y2)), c);
    };
    hline(l, rt - 1, t, outerTopLeft);
    vline(l, t, b - 1, outerTopLeft);
    hline(l, rt, b, outerBottomRight);
    vline(rt, t, b, outerBottomRight);
    hline(l + 1, rt - 2, t + 1, innerTopLeft);
    vline(l + 1, t + 1, b - 2, innerTopLeft);
    hline(l + 1, rt - 1, b - 1, innerBottomRight);
    vline(rt - 1, t + 1, b - 1, innerBottomRight);
    p.restore();
}

// A focused button is pressed by Enter (either key) as by Space. Whether the key was it.
bool clickOnEnter(QAbstractButton* button, QKeyEvent* e) {
    if ((e->key() != Qt::Key_Return && e->key() != Qt::Key_Enter) || e->isAutoRepeat())
        return false;
    button->click();
    e->accept();
    return true;
}

} // namespace

void drawSunkenEdge(QPainter& p, const QRect& outer) {
    const QPalette& pal = QGuiApplication::palette();
    drawEdge(p, outer, pal.color(QPalette::Dark), pal.color(QPalette::Light), pal.color(QPalette::Shadow),
             pal.color(QPalette::Midlight));
}

void drawRaisedEdge(QPainter& p, const QRect& outer) {
    const QPalette& pal = QGuiApplication::palette();
    drawEdge(p, outer, pal.color(QPalette::Light), pal.color(QPalette::Shadow), pal.color(QPalette::Midlight),
             pal.color(QPalette::Dark));
}

bool isWindowed(ControlKind kind) {
    return kind != ControlKind::Label && kind != ControlKind::Image;
}

// --- FormWindow -------------------------------------------------------------------

FormWindow::FormWindow(Form* form, const FormDesign& design)
    : QWidget(nullptr), form_(form), design_(design) {
    setObjectName(QString::fromUtf8(design.name));
    setAttribute(Qt::WA_DeleteOnClose, false);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, toQColor(design.backColor));
    pal.setColor(QPalette::WindowText, toQColor(design.foreColor));
    setPalette(pal);
    setAutoFillBackground(true);
}

void FormWindow::setPicture(Picture picture) {
    picture_ = std::move(picture);
    update();
}

void FormWindow::paintEvent(QPaintEvent*) {
    if (picture_.isNull())
        return;
    QPainter p(this);
    p.drawImage(QPoint(0, 0), picture_.image());
}

void FormWindow::resizeEvent(QResizeEvent*) {
    // A figure view fills its window.
    for (FigureViewWidget* view : findChildren<FigureViewWidget*>(Qt::FindDirectChildrenOnly))
        view->setGeometry(rect());
}

void FormWindow::closeEvent(QCloseEvent* e) {
    // Qt's own close is never accepted: the window decides through its Form. A disabled
    // window takes no input, its close box included.
    e->ignore();
    if (isEnabled())
        form_->closeBoxPressed();
}

void FormWindow::dragEnterEvent(QDragEnterEvent* e) {
    dropping_ = form_->dropFor(*e);
    dragMoveEvent(e);
}

void FormWindow::dragMoveEvent(QDragMoveEvent* e) {
    if (!dropping_) {
        e->ignore();
        return;
    }
    e->setDropAction(Qt::CopyAction);
    e->accept(rect()); // the same anywhere over the window
}

void FormWindow::dragLeaveEvent(QDragLeaveEvent* e) {
    dropping_.reset();
    QWidget::dragLeaveEvent(e);
}

void FormWindow::dropEvent(QDropEvent* e) {
    const std::optional<QByteArray> path = std::exchange(dropping_, std::nullopt);
    if (!path || !isEnabled()) { // (the drag was looked at as it came in)
        e->ignore();
        return;
    }
    e->setDropAction(Qt::CopyAction);
    e->accept();
    // The drop is answered first, so the program it came from goes on at once; the
    // opening follows.
    QTimer::singleShot(0, this, [form = form_, path = *path] { form->dropped(path); });
}

// --- LabelWidget --------------------------------------------------------------------

LabelWidget::LabelWidget(const ControlDesign& d, QWidget* parent)
    : QLabel(parent), caption_(QString::fromUtf8(d.caption)), border_(d.border == Border::Single3D) {
    setTextFormat(Qt::PlainText);
    setText(caption_);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, colorOr(d.backColor, color::ButtonFace));
    pal.setColor(QPalette::WindowText, colorOr(d.foreColor, color::ButtonText));
    setPalette(pal);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);
}

void LabelWidget::setCaption(const QString& text, const QByteArray& file) {
    file_ = file;
    if (text == caption_)
        return;
    caption_ = text;
    setText(text); // read whole by screen readers, however it shows
    // A text that does not fit (a long path) is shortened in the middle on screen; the
    // whole of it shows as a tooltip.
    setToolTip(fits() ? QString() : caption_);
    update();
}

QRect LabelWidget::textRect() const {
    const int edge = border_ ? PictureBoxWidget::kEdge : 0;
    return rect().adjusted(edge, edge, -edge, -edge);
}

bool LabelWidget::fits() const {
    const QRect room = textRect();
    return room.contains(fontMetrics().boundingRect(room, kTextFlags, caption_));
}

void LabelWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (border_)
        drawSunkenEdge(p, rect());
    p.setPen(palette().color(QPalette::WindowText));
    const QRect room = textRect();
    if (fits())
        p.drawText(room, kTextFlags, caption_);
    else
        p.drawText(room, Qt::AlignLeft | Qt::AlignTop,
                   fontMetrics().elidedText(caption_, Qt::ElideMiddle, room.width()));
}

// --- ImageWidget --------------------------------------------------------------------

ImageWidget::ImageWidget(const ControlDesign& d, QWidget* parent)
    : QWidget(parent), border_(d.border == Border::Single3D) {
    if (d.picture)
        picture_ = loadBuiltInPicture(QString::fromUtf8(d.picture));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ImageWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int edge = border_ ? PictureBoxWidget::kEdge : 0;
    if (border_)
        drawSunkenEdge(p, rect());
    if (!picture_.isNull()) {
        p.setClipRect(rect().adjusted(edge, edge, -edge, -edge));
        p.drawImage(QPoint(edge, edge), picture_.image());
    }
}

// --- PictureBoxWidget ---------------------------------------------------------------

PictureBoxWidget::PictureBoxWidget(const ControlDesign& d, QWidget* parent) : QWidget(parent) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, colorOr(d.backColor, color::ButtonFace));
    setPalette(pal);
    setAutoFillBackground(false);
    setFocusPolicy(Qt::StrongFocus);
    if (d.picture)
        picture_ = loadBuiltInPicture(QString::fromUtf8(d.picture));
}

void PictureBoxWidget::setPicture(Picture picture) {
    picture_ = std::move(picture);
    shown_ = QImage();
    update();
    announceNameChanged(this); // it is named by the file it shows
    emit pictureChanged();
}

void PictureBoxWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect inner = rect().adjusted(kEdge, kEdge, -kEdge, -kEdge);
    p.fillRect(inner, palette().color(QPalette::Window));
    if (!picture_.isNull()) {
        // Only the part that fits the box is ever drawn, so only that part is converted
        // for the screen, once per picture.
        const QSize visible = picture_.size().boundedTo(inner.size());
        if (shown_.size() != visible)
            shown_ = picture_.corner(visible).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        p.drawImage(inner.topLeft(), shown_);
    }
    drawSunkenEdge(p, rect());
}

void PictureBoxWidget::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && onOpen) {
        onOpen();
        e->accept();
        return;
    }
    QWidget::mouseDoubleClickEvent(e);
}

void PictureBoxWidget::mousePressEvent(QMouseEvent* e) {
    pressedAt_.reset();
    if (e->button() == Qt::LeftButton)
        pressedAt_ = e->position();
    QWidget::mousePressEvent(e);
}

void PictureBoxWidget::mouseMoveEvent(QMouseEvent* e) {
    if (pressedAt_ && (e->buttons() & Qt::LeftButton) &&
        (e->position() - *pressedAt_).manhattanLength() >= QApplication::startDragDistance()) {
        pressedAt_.reset();
        if (!picture_.isNull())
            dragPicture();
        return;
    }
    QWidget::mouseMoveEvent(e);
}

void PictureBoxWidget::dragPicture() {
    const Picture picture = picture_;
    // A figure that cannot be read whole is told, as "Copia" tells it, and nothing is
    // dragged.
    QImage image;
    if (!raiseEvent([&] { image = imageToGive(picture); }) || image.isNull())
        return;
    auto* data = new PictureMimeData(image);
    if (!picture.fileName().isEmpty()) {
        const QByteArray file = picture.nativeFileName().isEmpty() ? QFile::encodeName(picture.fileName())
                                                                   : picture.nativeFileName();
        putFiles(*data, {file});
    }
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    // Under the pointer, the picture as the box shows it, small.
    const QImage seen = shown_.isNull() ? picture.corner(QSize(96, 96)) : shown_;
    drag->setPixmap(QPixmap::fromImage(
        seen.scaled(QSize(96, 96).boundedTo(seen.size()), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

void PictureBoxWidget::keyPressEvent(QKeyEvent* e) {
    const int key = e->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) && !e->isAutoRepeat() &&
        onOpen) {
        onOpen();
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
}

// --- PictureButtonWidget ------------------------------------------------------------

PictureButtonWidget::PictureButtonWidget(const ControlDesign& d, QWidget* parent)
    : QAbstractButton(parent), foreColor_(colorOr(d.foreColor, color::ButtonText)),
      extent_(twipsToHimetric(d.width), twipsToHimetric(d.height)) {
    if (d.picture)
        picture_ = loadBuiltInPicture(QString::fromUtf8(d.picture));
    setFocusPolicy(Qt::StrongFocus);
    if (d.toolTip) {
        setToolTip(QString::fromUtf8(d.toolTip));
        setAccessibleName(QString::fromUtf8(d.toolTip));
    }
}

void PictureButtonWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPalette& pal = palette();
    const bool down = isDown();
    p.fillRect(rect(), pal.color(QPalette::Button));
    if (!picture_.isNull()) {
        const QImage img = picture_.image();
        QPoint at((width() - img.width()) / 2, (height() - img.height()) / 2);
        if (down)
            at += QPoint(1, 1);
        p.drawImage(at, img);
    }
    if (down)
        drawSunkenEdge(p, rect());
    else
        drawRaisedEdge(p, rect());
    if (hasFocus()) {
        QPen pen(pal.color(QPalette::ButtonText), 1, Qt::DotLine);
        p.setPen(pen);
        p.drawRect(rect().adjusted(3, 3, -4, -4));
    }
}

void PictureButtonWidget::keyPressEvent(QKeyEvent* e) {
    if (!clickOnEnter(this, e))
        QAbstractButton::keyPressEvent(e);
}

// --- CommandButtonWidget ------------------------------------------------------------

CommandButtonWidget::CommandButtonWidget(const ControlDesign& d, QWidget* parent)
    : QPushButton(QString::fromUtf8(d.caption), parent) {
    setAutoDefault(false);
    setDefault(false);
    setFocusPolicy(Qt::StrongFocus);
}

void CommandButtonWidget::keyPressEvent(QKeyEvent* e) {
    if (!clickOnEnter(this, e))
        QPushButton::keyPressEvent(e);
}

// --- Factory ------------------------------------------------------------------------

QWidget* createControlWidget(const ControlDesign& d, QWidget* parent) {
    QWidget* w = nullptr;
    switch (d.kind) {
    case ControlKind::Label:
        w = new LabelWidget(d, parent);
        break;
    case ControlKind::Image:
        w = new ImageWidget(d, parent);
        break;
    case ControlKind::PictureBox:
        w = new PictureBoxWidget(d, parent);
        break;
    case ControlKind::PictureButton:
        w = new PictureButtonWidget(d, parent);
        break;
    case ControlKind::CommandButton:
        w = new CommandButtonWidget(d, parent);
        break;
    case ControlKind::DriveList:
        w = new DriveListWidget(d, parent);
        break;
    case ControlKind::DirList:
        w = new DirListWidget(d, parent);
        break;
    case ControlKind::FileList:
        w = new FileListWidget(d, parent);
        break;
    case ControlKind::FigureView:
        w = new FigureViewWidget(d, parent);
        break;
    }
    w->setObjectName(QString::fromUtf8(d.name));
    w->setGeometry(pixelRect(d));
    return w;
}

} // namespace kv
