#include "platform/ui/figure_view.h"

#include "picture/figure.h"
#include "picture/figure_renderer.h"
#include "platform/ui/accessibility.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QScreen>
#include <QWheelEvent>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace kv {

FigureViewWidget::FigureViewWidget(const ControlDesign& d, QWidget* parent)
    : QWidget(parent), self_(std::make_shared<FigureViewWidget*>(this)) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window,
                 toQColor(d.backColor == kDefaultColor ? color::AppWorkspace : d.backColor));
    setPalette(pal);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::OpenHandCursor);
}

FigureViewWidget::~FigureViewWidget() {
    self_.reset(); // no repaint asked from here on reaches this widget
}

void FigureViewWidget::setPicture(const Picture& picture) {
    const std::shared_ptr<Figure> figure = picture.figure();
    if (!figure)
        return;
    picture_ = picture;
    // The first picture is sampled at the size the figure takes on this screen.
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const QSize room = screen ? screen->availableGeometry().size() : QSize(1024, 768);
    const QSize first = figure->size().scaled(room, Qt::KeepAspectRatio).boundedTo(figure->size());
    std::weak_ptr<FigureViewWidget*> weak = self_;
    renderer_ = std::make_unique<FigureRenderer>(figure, first, [weak] {
        QMetaObject::invokeMethod(
            qApp,
            [weak] {
                if (const auto self = weak.lock())
                    (*self)->update();
            },
            Qt::QueuedConnection);
    });
    fitted_ = true;
    zoom_ = fitZoom();
    scroll_ = QPoint();
    tracedFirst_ = tracedExact_ = false;
    update();
    zoomChanged();
}

void FigureViewWidget::sizeWindowToFigure() {
    QWidget* win = window();
    if (!renderer_ || !win)
        return;
    const QScreen* screen = win->screen() ? win->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The frame the window manager adds, where it is known; a usual one where not yet.
    QSize frame = win->frameGeometry().size() - win->geometry().size();
    if (!win->isVisible() || frame.isEmpty())
        frame = QSize(8, 32);
    const QSize room = screen->availableGeometry().size() - frame;
    const QSize around = win->size() - size(); // anything around the view in the window
    win->resize(renderer_->figureSize().boundedTo(room - around) + around);
}

double FigureViewWidget::fitZoom() const {
    if (!renderer_)
        return 1;
    const QSize f = renderer_->figureSize();
    const double z =
        std::min(double(std::max(1, width())) / f.width(), double(std::max(1, height())) / f.height());
    return std::clamp(z, std::min(z, kLeastZoom), 1.0);
}

QString FigureViewWidget::zoomText() const {
    const double percent = zoom_ * 100;
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    if (percent < 10 && std::abs(percent - std::round(percent)) > 0.05)
        return spanish.toString(percent, 'f', 1) + QStringLiteral(" %");
    return QString::number(std::lround(percent)) + QStringLiteral(" %");
}

QSize FigureViewWidget::scaled() const {
    return renderer_ ? scaledSize(renderer_->figureSize(), zoom_) : QSize();
}

QPoint FigureViewWidget::origin() const {
    const QSize s = scaled();
    return QPoint(s.width() <= width() ? (width() - s.width()) / 2 : -scroll_.x(),
                  s.height() <= height() ? (height() - s.height()) / 2 : -scroll_.y());
}

void FigureViewWidget::clampScroll() {
    const QSize s = scaled();
    scroll_.setX(std::clamp(scroll_.x(), 0, std::max(0, s.width() - width())));
    scroll_.setY(std::clamp(scroll_.y(), 0, std::max(0, s.height() - height())));
}

void FigureViewWidget::zoomTo(double zoom, QPointF anchor, bool fitted) {
    if (!renderer_)
        return;
    const QPointF inFigure = (anchor - QPointF(origin())) / zoom_;
    const double before = zoom_;
    zoom_ = zoom;
    fitted_ = fitted;
    const QPointF at = inFigure * zoom_ - anchor;
    scroll_ = QPoint(static_cast<int>(std::lround(at.x())), static_cast<int>(std::lround(at.y())));
    clampScroll();
    update();
    if (zoom_ != before)
        zoomChanged();
}

void FigureViewWidget::setZoomPercent(double percent) {
    zoomTo(std::clamp(percent / 100, std::min(kLeastZoom, fitZoom()), kMostZoom), QPointF(width() / 2.0, height() / 2.0));
}

void FigureViewWidget::scrollBy(QPoint delta) {
    const QPoint before = scroll_;
    scroll_ += delta;
    clampScroll();
    if (scroll_ != before)
        update();
}

void FigureViewWidget::zoomChanged() {
    if (renderer_) {
        const QSize f = renderer_->figureSize();
        setAccessibleName(QStringLiteral("%1 (%2 × %3) %4")
                              .arg(QFileInfo(picture_.fileName()).fileName())
                              .arg(f.width())
                              .arg(f.height())
                              .arg(zoomText()));
        announceNameChanged(this);
        if (QAccessible::isActive()) {
            QAccessibleValueChangeEvent value(this, static_cast<int>(std::lround(zoom_ * 100)));
            QAccessible::updateAccessibility(&value);
        }
    }
    if (onZoomChange)
        onZoomChange();
}

namespace {
// With KV_TRACE_FIGURE set, the moments a figure's first picture and its exact picture
// are first painted are written on standard error, in the steady clock's milliseconds,
// for the benchmarks.
void traceFigure(const char* what) {
    static const bool on = qEnvironmentVariableIsSet("KV_TRACE_FIGURE");
    if (!on)
        return;
    using namespace std::chrono;
    std::fprintf(stderr, "figure %.2f %s\n",
                 duration<double, std::milli>(steady_clock::now().time_since_epoch()).count(), what);
}
} // namespace

void FigureViewWidget::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.fillRect(e->rect(), palette().color(QPalette::Window));
    if (!renderer_)
        return;
    const bool exact = renderer_->draw(p, origin(), zoom_, e->rect());
    if (!tracedFirst_ && (exact || renderer_->hasPicture())) {
        tracedFirst_ = true;
        traceFigure("first");
    }
    if (!tracedExact_ && exact && e->rect().contains(rect().intersected(QRect(origin(), scaled())))) {
        tracedExact_ = true;
        traceFigure("exact");
    }
}

void FigureViewWidget::resizeEvent(QResizeEvent*) {
    if (fitted_ && renderer_) {
        const double before = zoom_;
        zoom_ = fitZoom();
        if (zoom_ != before)
            zoomChanged();
    }
    clampScroll();
}

void FigureViewWidget::keyPressEvent(QKeyEvent* e) {
    const QPointF centre(width() / 2.0, height() / 2.0);
    const int step = std::max(16, std::min(width(), height()) / 10);
    switch (e->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: // + without Shift on many keyboards
        zoomTo(zoomIn(zoom_), centre);
        break;
    case Qt::Key_Minus:
        zoomTo(zoomOut(zoom_), centre);
        break;
    case Qt::Key_1:
        zoomTo(1, centre);
        break;
    case Qt::Key_0:
        fitted_ = true;
        zoomTo(fitZoom(), centre, true);
        break;
    case Qt::Key_Left:
        scrollBy(QPoint(-step, 0));
        break;
    case Qt::Key_Right:
        scrollBy(QPoint(step, 0));
        break;
    case Qt::Key_Up:
        scrollBy(QPoint(0, -step));
        break;
    case Qt::Key_Down:
        scrollBy(QPoint(0, step));
        break;
    case Qt::Key_PageUp:
        scrollBy(QPoint(0, -std::max(1, height() - step)));
        break;
    case Qt::Key_PageDown:
        scrollBy(QPoint(0, std::max(1, height() - step)));
        break;
    case Qt::Key_Home:
        scrollBy(-scroll_);
        break;
    case Qt::Key_End:
        scrollBy(QPoint(scaled().width(), scaled().height()));
        break;
    case Qt::Key_Escape:
        window()->close();
        break;
    default:
        QWidget::keyPressEvent(e);
        return;
    }
    e->accept();
}

void FigureViewWidget::wheelEvent(QWheelEvent* e) {
    const int turn = e->angleDelta().y();
    if (turn == 0 || !renderer_) {
        e->ignore();
        return;
    }
    zoomTo(turn > 0 ? zoomIn(zoom_) : zoomOut(zoom_), e->position());
    e->accept();
}

void FigureViewWidget::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(e);
    dragging_ = true;
    dragFrom_ = e->position().toPoint();
    setCursor(Qt::ClosedHandCursor);
}

void FigureViewWidget::mouseMoveEvent(QMouseEvent* e) {
    if (!dragging_)
        return;
    const QPoint now = e->position().toPoint();
    scrollBy(dragFrom_ - now);
    dragFrom_ = now;
}

void FigureViewWidget::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && dragging_) {
        dragging_ = false;
        setCursor(Qt::OpenHandCursor);
    }
}

} // namespace kv
