#pragma once
// The widget that shows a figure whole, at any zoom. Only the platform layer includes this.
#include "picture/picture.h"
#include "platform/ui/design.h"

#include <QWidget>
#include <functional>
#include <memory>

namespace kv {

class FigureRenderer;

// A figure fitted to the widget (never enlarged past 100 % unless asked), centred on the
// background, or zoomed and moved by the user: + and − (also on the keypad and with
// Ctrl) zoom by steps, 1 shows 100 %, 0 fits again; the arrow keys, Page Up and Down and
// Home and End move a figure larger than the widget; the wheel zooms around the pointer
// and a drag moves the figure. Its accessible name tells the figure and the zoom.
class FigureViewWidget : public QWidget {
    Q_OBJECT
public:
    FigureViewWidget(const ControlDesign& d, QWidget* parent);
    ~FigureViewWidget() override;

    // Shows the picture, fitted; an empty picture changes nothing.
    void setPicture(const Picture& picture);
    const Picture& picture() const { return picture_; }
    double zoom() const { return zoom_; }
    // Zooms around the middle of the view (a screen reader's setting of the zoom).
    void setZoomPercent(double percent);
    // The zoom as the title shows it: "25 %", "6,3 %".
    QString zoomText() const;
    // Sizes the window to show the figure at 100 % where the screen's free area allows,
    // else to that area.
    void sizeWindowToFigure();

    // Called after each change of the zoom (and when a figure is shown).
    std::function<void()> onZoomChange;

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    double fitZoom() const;
    // Zooms to `zoom`, keeping the figure's point under `anchor` (widget pixels) there.
    void zoomTo(double zoom, QPointF anchor, bool fitted = false);
    void scrollBy(QPoint delta);
    void clampScroll();
    // Where the scaled figure's top-left corner lies in the widget.
    QPoint origin() const;
    QSize scaled() const;
    void zoomChanged();

    Picture picture_;
    std::unique_ptr<FigureRenderer> renderer_;
    // Lets the renderer's threads ask for a repaint without outliving the widget.
    std::shared_ptr<FigureViewWidget*> self_;
    double zoom_ = 1;
    bool fitted_ = true;
    QPoint scroll_;   // the scaled figure's pixel at the widget's top-left, where larger
    QPoint dragFrom_; // the pointer's last place in a drag
    bool dragging_ = false;
    bool tracedFirst_ = false, tracedExact_ = false; // for the benchmarks' trace
};

} // namespace kv
