#pragma once
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <functional>
#include <memory>

class QPainter;

// Draws a figure at any zoom, at once, from what is ready: the exact picture where it is
// made, else the best coarser one, while the rest is made on threads of its own.
//
// Shrunk, each screen pixel is the average of the figure's pixels it covers (an area
// filter); enlarged, each figure pixel is a sharp square. The averages come from levels,
// the figure halved again and again: the coarser ones are built in one pass over the
// figure and kept; the finer ones, too large to keep for a very large figure, are made
// for the part on screen from the figure's own pixels. The first picture is a sampled
// one, from as many of the figure's rows as the screen has.
namespace kv {

class Figure;

// Pixels of `from` (premultiplied 32-bit) averaged by area: result pixel (i, j) is the
// average of the source part [x + i·f, x + (i + 1)·f) × [y + j·f, y + (j + 1)·f), parts of
// pixels weighed by how much of them is covered, the source's outside left out.
QImage shrinkByArea(const QImage& from, double x, double y, double f, QSize to);

// The average of each block of 2^k × 2^k pixels (fewer at the right and bottom edges).
QImage averageBlocks(const QImage& from, int k);

// The zoom steps that + and − go through, from 1/64 to 32: halving and doubling, with a
// step between each two.
double zoomIn(double zoom);
double zoomOut(double zoom);
inline constexpr double kLeastZoom = 1.0 / 64, kMostZoom = 32.0;

// The figure's size at a zoom, in screen pixels.
QSize scaledSize(QSize figure, double zoom);

class FigureRenderer {
public:
    static constexpr int kTile = 256;

    // `firstPicture`: the size of the first, sampled picture (the figure fitted to the
    // screen). `ready` is called, on another thread, each time more is ready to draw.
    FigureRenderer(std::shared_ptr<Figure> figure, QSize firstPicture, std::function<void()> ready);
    ~FigureRenderer();
    FigureRenderer(const FigureRenderer&) = delete;
    FigureRenderer& operator=(const FigureRenderer&) = delete;

    QSize figureSize() const;
    const std::shared_ptr<Figure>& figure() const;

    // Draws the figure scaled by `zoom`, its top-left corner at `origin`, within `clip`
    // (in the painter's pixels); asks for what is missing. Whether all of it was exact.
    bool draw(QPainter& p, QPoint origin, double zoom, const QRect& clip);

    // Whether there is anything to draw yet (the first picture at least).
    bool hasPicture() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace kv
