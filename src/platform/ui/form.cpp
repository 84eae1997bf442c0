#include "platform/ui/form.h"

#include "platform/ui/accessibility.h"
#include "platform/ui/controls.h"
#include "platform/ui/drag_drop.h"
#include "platform/ui/units.h"
#include "platform/ui/widgets.h"
#include "platform/world/picture_file.h"
#include "platform/world/printing.h"

#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QWidget>
#include <algorithm>
#include <cstring>

namespace kv {

const ControlDesign* FormDesign::control(const char* controlName) const {
    for (const ControlDesign& d : controls)
        if (std::strcmp(d.name, controlName) == 0)
            return &d;
    return nullptr;
}

Form::Form(const FormDesign& design) : design_(design) {}

Form::~Form() {
    if (window_) {
        noteFormUnloaded(this);
        delete window_.data();
    }
}

bool Form::isLoaded() const {
    return !window_.isNull();
}

bool Form::isVisible() const {
    return window_ && window_->isVisible();
}

void Form::ensureLoaded() {
    if (!isLoaded())
        load();
}

void Form::load() {
    if (isLoaded())
        return;
    build();
    noteFormLoaded(this);
    traceEvent(design_.name, "Load");
    try {
        runNested(loadHandler_);
    } catch (...) {
        // A window whose Load event failed is not left half-built.
        unload();
        throw;
    }
}

void Form::build() {
    auto* win = new FormWindow(this, design_);
    try {
        win->setWindowTitle(QString::fromUtf8(design_.caption));
        if (design_.icon)
            win->setWindowIcon(loadBuiltInPicture(QString::fromUtf8(design_.icon)).toIcon());
        if (design_.picture)
            win->setPicture(loadBuiltInPicture(QString::fromUtf8(design_.picture)));
        const QSize client(twipsToPixels(design_.clientWidth), twipsToPixels(design_.clientHeight));
        if (design_.startUpPosition == StartUpPosition::Manual)
            win->setGeometry(
                QRect(QPoint(twipsToPixels(design_.clientLeft), twipsToPixels(design_.clientTop)), client));
        else
            win->resize(client);

        std::vector<QPointer<QWidget>> widgets;
        for (const ControlDesign& d : design_.controls)
            widgets.emplace_back(createControlWidget(d, win));

        // Controls with a window of their own lie above labels and images.
        for (std::size_t i = 0; i < widgets.size(); ++i)
            if (isWindowed(design_.controls[i].kind))
                widgets[i]->raise();

        // The Tab key follows the tab index; labels and images never take the focus.
        std::vector<std::pair<int, QWidget*>> tabbable;
        for (std::size_t i = 0; i < widgets.size(); ++i)
            if (design_.controls[i].tabIndex != kNoTabIndex && widgets[i]->focusPolicy() != Qt::NoFocus)
                tabbable.emplace_back(design_.controls[i].tabIndex, widgets[i]);
        std::stable_sort(tabbable.begin(), tabbable.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 1; i < tabbable.size(); ++i)
            QWidget::setTabOrder(tabbable[i - 1].second, tabbable[i].second);
        if (!tabbable.empty())
            tabbable.front().second->setFocus();

        tieLabels(win, design_);
        win->setAcceptDrops(bool(dropHandler_));

        window_ = win;
        widgets_ = std::move(widgets);
    } catch (...) {
        delete win;
        throw;
    }
    for (Control* handle : handles_)
        handle->connect(controlWidget(handle->name()));
}

void Form::show() {
    ensureLoaded();
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void Form::unload() {
    if (!window_)
        return;
    FormWindow* win = window_.data();
    window_.clear();
    widgets_.clear();
    win->hide();
    win->deleteLater();
    noteFormUnloaded(this);
}

void Form::closeBoxPressed() {
    if (closeBoxHandler_)
        raiseEvent(closeBoxHandler_);
    else
        unload();
}

void Form::onDragDrop(QString pattern, DropHandler handler) {
    dropPattern_ = std::move(pattern);
    dropHandler_ = std::move(handler);
    if (window_)
        window_->setAcceptDrops(true);
}

std::optional<QByteArray> Form::dropFor(const QDropEvent& drag) const {
    // Not from the program itself (a figure dragged out of its own list is not chosen
    // by coming back), not while the window takes no input, and only as a copy: a file
    // manager that offers a move only would remove the file it was told was moved.
    if (!dropHandler_ || drag.source() || !window_ || !window_->isEnabled() || !drag.mimeData() ||
        !(drag.possibleActions() & Qt::CopyAction))
        return std::nullopt;
    return pathToOpen(draggedPaths(*drag.mimeData()), dropPattern_);
}

void Form::dropped(const QByteArray& path) {
    // (while a step waits on the world outside, it runs once that step is over)
    raiseEvent([this, path] {
        traceEvent(design_.name, "OLEDragDrop");
        if (dropHandler_)
            dropHandler_(path);
    });
}

void Form::printForm() {
    ensureLoaded();
    // Rendered once, at screen size, as the window will look when shown.
    QImage page(window_->size(), QImage::Format_RGB32);
    page.fill(window_->palette().color(QPalette::Window));
    window_->ensurePolished();
    window_->render(&page);
    printPage(page, QStringLiteral("Kelvaria 500"));
}

bool Form::enabled() {
    ensureLoaded();
    return window_->isEnabled();
}

void Form::setEnabled(bool on) {
    ensureLoaded();
    window_->setEnabled(on);
}

QString Form::caption() {
    ensureLoaded();
    return window_->windowTitle();
}

void Form::setCaption(const QString& text) {
    ensureLoaded();
    window_->setWindowTitle(text);
}

Form::TwipsRect Form::clientGeometry() {
    ensureLoaded();
    const QRect g = window_->geometry();
    return {pixelsToTwips(g.x()), pixelsToTwips(g.y()), pixelsToTwips(g.width()), pixelsToTwips(g.height())};
}

QWidget* Form::window() const {
    return window_.data();
}

QWidget* Form::controlWidget(const char* name) const {
    for (std::size_t i = 0; i < design_.controls.size() && i < widgets_.size(); ++i)
        if (std::strcmp(design_.controls[i].name, name) == 0)
            return widgets_[i].data();
    return nullptr;
}

} // namespace kv
