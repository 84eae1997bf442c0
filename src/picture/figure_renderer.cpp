#include "picture/figure_renderer.h"

#include "picture/figure.h"

#include <QPainter>
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace kv {

// --- Averages ----------------------------------------------------------------------

namespace {

// The source spans of one axis: result pixel i takes source pixels [first, first + n),
// weighed by `weights` (adding up to 1 for each result pixel).
struct Spans {
    std::vector<int> first, count;
    std::vector<float> weights; // count[i] weights for result pixel i, one after the other
    std::vector<std::size_t> at;
};

Spans spansFor(double start, double f, int results, int sourceLength) {
    Spans s;
    s.first.resize(static_cast<std::size_t>(results));
    s.count.resize(static_cast<std::size_t>(results));
    s.at.resize(static_cast<std::size_t>(results));
    for (int i = 0; i < results; ++i) {
        const double a = std::max(0.0, start + i * f);
        const double b = std::min(double(sourceLength), start + (i + 1) * f);
        const int first = std::min(sourceLength - 1, static_cast<int>(std::floor(a)));
        const int end = std::max(first + 1, std::min(sourceLength, static_cast<int>(std::ceil(b))));
        s.first[static_cast<std::size_t>(i)] = first;
        s.count[static_cast<std::size_t>(i)] = end - first;
        s.at[static_cast<std::size_t>(i)] = s.weights.size();
        double total = 0;
        const std::size_t from = s.weights.size();
        for (int k = first; k < end; ++k) {
            const double w = std::max(0.0, std::min(b, k + 1.0) - std::max(a, double(k)));
            s.weights.push_back(static_cast<float>(w));
            total += w;
        }
        if (total <= 0) { // a part outside the source: its nearest pixel
            s.weights[from] = 1;
            total = 1;
        }
        for (std::size_t k = from; k < s.weights.size(); ++k)
            s.weights[k] = static_cast<float>(s.weights[k] / total);
    }
    return s;
}

QImage premultipliedCopy(const QImage& image) {
    if (image.format() == QImage::Format_ARGB32_Premultiplied || image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

QImage shrinkByArea(const QImage& fromAny, double x, double y, double f, QSize to) {
    const QImage from = premultipliedCopy(fromAny);
    QImage out(to, QImage::Format_ARGB32_Premultiplied);
    if (from.isNull() || out.isNull())
        return out;
    const Spans across = spansFor(x, f, to.width(), from.width());
    const Spans down = spansFor(y, f, to.height(), from.height());
    // Across first, each source row the result needs, four channels as floats.
    const int rowsFrom = down.first.front();
    const int rowsEnd = down.first.back() + down.count.back();
    const std::size_t w = static_cast<std::size_t>(to.width());
    std::vector<float> rows(static_cast<std::size_t>(rowsEnd - rowsFrom) * w * 4);
    for (int sy = rowsFrom; sy < rowsEnd; ++sy) {
        const auto* line = reinterpret_cast<const QRgb*>(from.constScanLine(sy));
        float* outRow = rows.data() + static_cast<std::size_t>(sy - rowsFrom) * w * 4;
        for (std::size_t i = 0; i < w; ++i) {
            float a = 0, r = 0, g = 0, b = 0;
            const float* wt = across.weights.data() + across.at[i];
            const QRgb* p = line + across.first[i];
            for (int k = 0; k < across.count[i]; ++k) {
                a += wt[k] * qAlpha(p[k]);
                r += wt[k] * qRed(p[k]);
                g += wt[k] * qGreen(p[k]);
                b += wt[k] * qBlue(p[k]);
            }
            outRow[i * 4] = a, outRow[i * 4 + 1] = r, outRow[i * 4 + 2] = g, outRow[i * 4 + 3] = b;
        }
    }
    const bool opaque = !from.hasAlphaChannel();
    for (int j = 0; j < to.height(); ++j) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(j));
        const float* wt = down.weights.data() + down.at[static_cast<std::size_t>(j)];
        const int first = down.first[static_cast<std::size_t>(j)] - rowsFrom;
        for (std::size_t i = 0; i < w; ++i) {
            float c[4] = {0, 0, 0, 0};
            for (int k = 0; k < down.count[static_cast<std::size_t>(j)]; ++k) {
                const float* px = rows.data() + (static_cast<std::size_t>(first + k) * w + i) * 4;
                for (int ch = 0; ch < 4; ++ch)
                    c[ch] += wt[k] * px[ch];
            }
            auto v = [](float value) { return std::clamp(static_cast<int>(value + 0.5f), 0, 255); };
            const int alpha = opaque ? 255 : v(c[0]);
            line[i] =
                qRgba(std::min(v(c[1]), alpha), std::min(v(c[2]), alpha), std::min(v(c[3]), alpha), alpha);
        }
    }
    return out;
}

QImage averageBlocks(const QImage& fromAny, int k) {
    const QImage from = premultipliedCopy(fromAny);
    if (k <= 0)
        return from;
    const int block = 1 << k;
    const int w = (from.width() + block - 1) >> k, h = (from.height() + block - 1) >> k;
    QImage out(w, h, from.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (out.isNull())
        return out;
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(w) * 4);
    for (int by = 0; by < h; ++by) {
        std::fill(sums.begin(), sums.end(), 0);
        const int y0 = by << k, y1 = std::min(from.height(), y0 + block);
        for (int y = y0; y < y1; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(from.constScanLine(y));
            for (int x = 0; x < from.width(); ++x) {
                std::uint64_t* s = sums.data() + static_cast<std::size_t>(x >> k) * 4;
                const QRgb p = line[x];
                s[0] += qAlpha(p), s[1] += qRed(p), s[2] += qGreen(p), s[3] += qBlue(p);
            }
        }
        auto* outLine = reinterpret_cast<QRgb*>(out.scanLine(by));
        for (int bx = 0; bx < w; ++bx) {
            const int x0 = bx << k, x1 = std::min(from.width(), x0 + block);
            const std::uint64_t n = static_cast<std::uint64_t>(x1 - x0) * static_cast<std::uint64_t>(y1 - y0);
            const std::uint64_t* s = sums.data() + static_cast<std::size_t>(bx) * 4;
            auto avg = [n](std::uint64_t v) { return static_cast<int>((v + n / 2) / n); };
            outLine[bx] = qRgba(avg(s[1]), avg(s[2]), avg(s[3]), avg(s[0]));
        }
    }
    return out;
}

// --- Zoom ----------------------------------------------------------------------------

namespace {
// 1/64 … 1/2, 2/3, 1, 3/2, 2 … 32: each doubling with one step between.
const std::vector<double>& steps() {
    static const std::vector<double> all = [] {
        std::vector<double> v;
        for (double z = kLeastZoom; z < 1; z *= 2)
            v.insert(v.end(), {z, z * 4 / 3});
        for (double z = 1; z < kMostZoom; z *= 2)
            v.insert(v.end(), {z, z * 3 / 2});
        v.push_back(kMostZoom);
        return v;
    }();
    return all;
}
} // namespace

double zoomIn(double zoom) {
    for (double z : steps())
        if (z > zoom * 1.0001)
            return z;
    return std::max(zoom, kMostZoom);
}

double zoomOut(double zoom) {
    const auto& all = steps();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (*it < zoom / 1.0001)
            return *it;
    return std::min(zoom, kLeastZoom);
}

QSize scaledSize(QSize figure, double zoom) {
    return QSize(std::max(1, static_cast<int>(std::ceil(figure.width() * zoom - 1e-9))),
                 std::max(1, static_cast<int>(std::ceil(figure.height() * zoom - 1e-9))));
}

// --- The renderer ------------------------------------------------------------------

namespace {

// Levels are kept from the first whose pixels fit this many (64 MB).
constexpr std::int64_t kKeptLevelPixels = std::int64_t(1) << 24;
// The exact screen tiles kept, at most (64 MB).
constexpr std::size_t kKeptTiles = 256;

struct TileKey {
    std::uint64_t zoom;
    int x, y;
    bool operator<(const TileKey& o) const { return std::tie(zoom, x, y) < std::tie(o.zoom, o.x, o.y); }
    bool operator==(const TileKey& o) const { return zoom == o.zoom && x == o.x && y == o.y; }
};

QSize levelSize(QSize figure, int level) {
    return QSize(std::max(1, (figure.width() + (1 << level) - 1) >> level),
                 std::max(1, (figure.height() + (1 << level) - 1) >> level));
}

} // namespace

struct FigureRenderer::State {
    std::shared_ptr<Figure> figure;
    QSize size;
    QSize firstPictureSize;
    int firstKept = 1; // the first level kept whole
    int lastLevel = 0; // one pixel across or down
    std::atomic<bool> stop{false};

    std::mutex mutex; // guards everything below
    std::condition_variable wake;
    std::function<void()> ready;
    QImage firstPicture;
    std::vector<QImage> levels; // empty below firstKept
    std::vector<uchar*> levelBits;
    std::vector<int> rowsDone;
    std::map<TileKey, QImage> tiles;
    std::deque<TileKey> tileOrder;
    std::vector<TileKey> wanted;
    std::chrono::steady_clock::time_point lastTold{};

    int levelFor(double zoom) const {
        if (zoom >= 1)
            return 0;
        const int l = static_cast<int>(std::floor(std::log2(1 / zoom) + 1e-9));
        return std::clamp(l, 0, lastLevel);
    }

    void tell(bool now) {
        std::function<void()> call;
        {
            std::lock_guard lock(mutex);
            const auto t = std::chrono::steady_clock::now();
            if (!now && t - lastTold < std::chrono::milliseconds(40))
                return;
            lastTold = t;
            call = ready;
        }
        if (call && !stop.load())
            call();
    }

    // The pixels of level `level` in `r` (within the level), if they can be had now.
    std::optional<QImage> levelRegion(int level, const QRect& r) {
        if (level >= firstKept) {
            std::lock_guard lock(mutex);
            if (rowsDone[static_cast<std::size_t>(level)] <= r.bottom())
                return std::nullopt;
            return levels[static_cast<std::size_t>(level)].copy(r);
        }
        const QRect inFigure(r.x() << level, r.y() << level, r.width() << level, r.height() << level);
        std::optional<QImage> pixels = figure->region(inFigure);
        if (!pixels)
            return std::nullopt;
        return averageBlocks(*pixels, level);
    }

    std::optional<QImage> makeTile(const TileKey& key) {
        const double zoom = std::bit_cast<double>(key.zoom);
        const QSize scaled = scaledSize(size, zoom);
        const QRect t = QRect(key.x * kTile, key.y * kTile, kTile, kTile) & QRect(QPoint(0, 0), scaled);
        if (t.isEmpty())
            return std::nullopt;
        if (zoom >= 1) {
            // Each figure pixel a sharp square: the pixel under each screen pixel's centre.
            const auto at = [zoom](int s, int last) {
                return std::min(last, static_cast<int>(std::floor((s + 0.5) / zoom)));
            };
            const QRect f(QPoint(at(t.left(), size.width() - 1), at(t.top(), size.height() - 1)),
                          QPoint(at(t.right(), size.width() - 1), at(t.bottom(), size.height() - 1)));
            std::optional<QImage> pixels = figure->region(f);
            if (!pixels)
                return std::nullopt;
            const QImage src = premultipliedCopy(*pixels);
            QImage out(t.size(), src.format());
            std::vector<int> columns(static_cast<std::size_t>(t.width()));
            for (int i = 0; i < t.width(); ++i)
                columns[static_cast<std::size_t>(i)] = at(t.left() + i, size.width() - 1) - f.left();
            for (int j = 0; j < t.height(); ++j) {
                const auto* in = reinterpret_cast<const QRgb*>(
                    src.constScanLine(at(t.top() + j, size.height() - 1) - f.top()));
                auto* line = reinterpret_cast<QRgb*>(out.scanLine(j));
                for (int i = 0; i < t.width(); ++i)
                    line[i] = in[columns[static_cast<std::size_t>(i)]];
            }
            return out;
        }
        const int level = levelFor(zoom);
        const QSize ls = levelSize(size, level);
        const double f = 1 / (zoom * (1 << level)); // level pixels a screen pixel covers
        const int u0 = std::clamp(static_cast<int>(std::floor(t.left() * f)), 0, ls.width() - 1);
        const int v0 = std::clamp(static_cast<int>(std::floor(t.top() * f)), 0, ls.height() - 1);
        const int u1 = std::clamp(static_cast<int>(std::ceil((t.right() + 1) * f)), u0 + 1, ls.width());
        const int v1 = std::clamp(static_cast<int>(std::ceil((t.bottom() + 1) * f)), v0 + 1, ls.height());
        std::optional<QImage> pixels = levelRegion(level, QRect(u0, v0, u1 - u0, v1 - v0));
        if (!pixels)
            return std::nullopt;
        return shrinkByArea(*pixels, t.left() * f - u0, t.top() * f - v0, f, t.size());
    }

    // The first picture, then the kept levels, in one pass over the figure.
    void buildLevels() {
        // Each row sampled is read whole: of a figure whose rows are many times as long as
        // the first picture's, half as many rows are sampled. The exact picture follows
        // within the second.
        QSize firstSize = firstPictureSize;
        if (size.width() >= 16 * firstSize.width() && firstSize.height() >= 2)
            firstSize /= 2;
        std::optional<QImage> first = figure->sampled(firstSize);
        {
            std::lock_guard lock(mutex);
            if (first)
                firstPicture = *std::move(first);
        }
        tell(true);
        if (firstKept > lastLevel)
            return;
        // Level rows in chunks of about 256 figure rows, taken in turn by this thread and
        // a second one; the rows done are those up to the first chunk not yet done.
        const int k = firstKept;
        const auto kk = static_cast<std::size_t>(k);
        const int levelRows = levels[kk].height();
        const int chunk = std::max(1, 256 >> k);
        const int chunks = (levelRows + chunk - 1) / chunk;
        const std::size_t bpl = static_cast<std::size_t>(levels[kk].bytesPerLine());
        std::atomic<int> next{0};
        std::atomic<bool> failed{false};
        std::vector<char> done(static_cast<std::size_t>(chunks), 0);
        std::mutex halving;
        auto work = [&] {
            for (;;) {
                const int c = next++;
                if (c >= chunks || stop.load() || failed.load())
                    return;
                const int first = c * chunk, count = std::min(chunk, levelRows - first);
                if (!figure->averagedRows(k, first, count,
                                          levelBits[kk] + static_cast<std::size_t>(first) * bpl, bpl)) {
                    failed = true; // the file changed: what is made stays
                    return;
                }
                {
                    std::lock_guard lock(mutex);
                    done[static_cast<std::size_t>(c)] = 1;
                    int rows = rowsDone[kk];
                    while (rows < levelRows && done[static_cast<std::size_t>(rows / chunk)])
                        rows = std::min(levelRows, (rows / chunk + 1) * chunk);
                    rowsDone[kk] = rows;
                }
                {
                    std::lock_guard lock(halving);
                    halveWhatIsDone();
                }
                tell(false);
            }
        };
        std::thread second;
        try {
            second = std::thread(work);
        } catch (...) {
        }
        work();
        if (second.joinable())
            second.join();
        tell(true);
    }

    // Each coarser level's rows whose two finer rows are done.
    void halveWhatIsDone() {
        for (int l = firstKept + 1; l <= lastLevel; ++l) {
            const auto li = static_cast<std::size_t>(l);
            const QSize fine = levelSize(size, l - 1), coarse = levelSize(size, l);
            int done, fineDone;
            {
                std::lock_guard lock(mutex);
                done = rowsDone[li];
                fineDone = rowsDone[li - 1];
            }
            const std::size_t fineBpl = static_cast<std::size_t>(levels[li - 1].bytesPerLine());
            const std::size_t bpl = static_cast<std::size_t>(levels[li].bytesPerLine());
            int row = done;
            for (; row < coarse.height(); ++row) {
                const int a = 2 * row, b = std::min(2 * row + 1, fine.height() - 1);
                if (b >= fineDone)
                    break;
                const auto* ra =
                    reinterpret_cast<const QRgb*>(levelBits[li - 1] + static_cast<std::size_t>(a) * fineBpl);
                const auto* rb =
                    reinterpret_cast<const QRgb*>(levelBits[li - 1] + static_cast<std::size_t>(b) * fineBpl);
                auto* out = reinterpret_cast<QRgb*>(levelBits[li] + static_cast<std::size_t>(row) * bpl);
                const int n = b > a ? 2 : 1;
                for (int x = 0; x < coarse.width(); ++x) {
                    const int x0 = 2 * x, x1 = std::min(2 * x + 1, fine.width() - 1);
                    const int m = (x1 > x0 ? 2 : 1) * n;
                    int s[4] = {0, 0, 0, 0};
                    for (const QRgb* r : {ra, rb}) {
                        if (r == rb && n == 1)
                            break;
                        for (int xx : {x0, x1}) {
                            if (xx == x1 && x1 == x0)
                                break;
                            s[0] += qAlpha(r[xx]), s[1] += qRed(r[xx]), s[2] += qGreen(r[xx]),
                                s[3] += qBlue(r[xx]);
                        }
                    }
                    out[x] =
                        qRgba((s[1] + m / 2) / m, (s[2] + m / 2) / m, (s[3] + m / 2) / m, (s[0] + m / 2) / m);
                }
            }
            std::lock_guard lock(mutex);
            rowsDone[li] = row;
        }
    }

    void makeTiles() {
        for (;;) {
            TileKey key{};
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stop.load() || !wanted.empty(); });
                if (stop.load())
                    return;
                key = wanted.front();
                wanted.erase(wanted.begin());
                if (tiles.count(key))
                    continue;
            }
            std::optional<QImage> tile = makeTile(key);
            if (!tile)
                continue;
            bool last;
            {
                std::lock_guard lock(mutex);
                tiles.emplace(key, *std::move(tile));
                tileOrder.push_back(key);
                while (tileOrder.size() > kKeptTiles) {
                    tiles.erase(tileOrder.front());
                    tileOrder.pop_front();
                }
                last = wanted.empty();
            }
            tell(last);
        }
    }
};

FigureRenderer::FigureRenderer(std::shared_ptr<Figure> figure, QSize firstPicture,
                               std::function<void()> ready)
    : state_(std::make_shared<State>()) {
    State& s = *state_;
    s.figure = std::move(figure);
    s.size = s.figure->size();
    s.firstPictureSize = firstPicture;
    s.ready = std::move(ready);
    while (s.lastLevel < 31 &&
           (levelSize(s.size, s.lastLevel).width() > 1 || levelSize(s.size, s.lastLevel).height() > 1))
        ++s.lastLevel;
    s.firstKept = 1;
    while (s.firstKept < s.lastLevel) {
        const QSize ls = levelSize(s.size, s.firstKept);
        if (std::int64_t(ls.width()) * ls.height() <= kKeptLevelPixels)
            break;
        ++s.firstKept;
    }
    s.levels.resize(static_cast<std::size_t>(s.lastLevel + 1));
    s.levelBits.resize(s.levels.size(), nullptr);
    s.rowsDone.resize(s.levels.size(), 0);
    for (int l = s.firstKept; l <= s.lastLevel; ++l) {
        const auto li = static_cast<std::size_t>(l);
        s.levels[li] = QImage(levelSize(s.size, l), QImage::Format_ARGB32_Premultiplied);
        s.levelBits[li] = s.levels[li].bits(); // written through this alone from now on
    }
    if (s.firstKept > s.lastLevel) // a figure of one pixel
        s.firstKept = s.lastLevel + 1;
    // The pass and the tiles on threads of their own, each holding the state: a window
    // closed meanwhile stops them at their next step, and never waits for one that
    // hangs on a lost drive.
    std::thread([state = state_] { state->buildLevels(); }).detach();
    std::thread([state = state_] { state->makeTiles(); }).detach();
}

FigureRenderer::~FigureRenderer() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stop = true;
        state_->ready = nullptr;
        state_->wanted.clear();
    }
    state_->wake.notify_all();
}

QSize FigureRenderer::figureSize() const {
    return state_->size;
}

const std::shared_ptr<Figure>& FigureRenderer::figure() const {
    return state_->figure;
}

bool FigureRenderer::hasPicture() const {
    std::lock_guard lock(state_->mutex);
    return !state_->firstPicture.isNull();
}

bool FigureRenderer::draw(QPainter& p, QPoint origin, double zoom, const QRect& clip) {
    State& s = *state_;
    const QSize scaled = scaledSize(s.size, zoom);
    const QRect visible = clip.translated(-origin) & QRect(QPoint(0, 0), scaled);
    if (visible.isEmpty())
        return true;
    const std::uint64_t zoomKey = std::bit_cast<std::uint64_t>(zoom);
    const int level = s.levelFor(zoom);
    std::vector<TileKey> missing;
    bool exact = true;
    std::lock_guard lock(s.mutex);
    // The best coarse picture for a tile not made yet: the finest whole kept level that
    // is at least as fine as the tile wants, else the first picture.
    QImage coarse = s.firstPicture;
    for (int l = std::max(level, s.firstKept); l <= s.lastLevel; ++l)
        if (s.rowsDone[static_cast<std::size_t>(l)] >= s.levels[static_cast<std::size_t>(l)].height()) {
            if (s.levels[static_cast<std::size_t>(l)].width() > coarse.width())
                coarse = s.levels[static_cast<std::size_t>(l)];
            break;
        }
    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    for (int ty = visible.top() / kTile; ty <= visible.bottom() / kTile; ++ty)
        for (int tx = visible.left() / kTile; tx <= visible.right() / kTile; ++tx) {
            const TileKey key{zoomKey, tx, ty};
            const QRect t = QRect(tx * kTile, ty * kTile, kTile, kTile) & QRect(QPoint(0, 0), scaled);
            if (const auto it = s.tiles.find(key); it != s.tiles.end()) {
                p.drawImage(t.topLeft() + origin, it->second);
                continue;
            }
            exact = false;
            missing.push_back(key);
            if (coarse.isNull())
                continue;
            const double sx = double(coarse.width()) / (s.size.width() * zoom);
            const double sy = double(coarse.height()) / (s.size.height() * zoom);
            p.drawImage(QRectF(t.translated(origin)), coarse,
                        QRectF(t.left() * sx, t.top() * sy, t.width() * sx, t.height() * sy));
        }
    p.restore();
    // What is asked for now replaces what was asked before: the view moved on.
    s.wanted = std::move(missing);
    s.wake.notify_all();
    return exact;
}

} // namespace kv
