// Figures shown whole at any zoom: the area filter behind every shrunk picture, sharp
// squares past 100 %, and a figure whose file is cut short while it is shown.
#include "picture/bmp_reader.h"
#include "picture/figure.h"
#include "picture/figure_renderer.h"
#include "picture/picture.h"
#include "picture/picture_error.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/picture_file.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kv;

namespace {

// One-pixel stripes, black and white, down the picture.
QImage stripes(QSize size) {
    QImage img(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            img.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    return img;
}

// What the renderer draws of the figure at a zoom into a picture of `size`, once all of
// it is exact (or what it has after five seconds).
QImage drawn(FigureRenderer& renderer, double zoom, QSize size, bool* exact = nullptr) {
    QImage out(size, QImage::Format_RGB32);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        out.fill(qRgb(1, 2, 3));
        QPainter p(&out);
        const bool done = renderer.draw(p, QPoint(0, 0), zoom, out.rect());
        p.end();
        if (done || waited.elapsed() > 5000) {
            if (exact)
                *exact = done;
            return out;
        }
        QTest::qWait(10);
    }
}

// A 24-bit bitmap file of that size whose rows are a hole (they read as black), made at
// once whatever its size.
bool writeSparseBitmap(const QString& path, int width, int height) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) * 3 + 3) / 4 * 4;
    const std::uint64_t size = 54 + std::uint64_t(stride) * static_cast<std::uint64_t>(height);
    std::uint8_t h[54] = {'B', 'M'};
    const auto put = [&h](int at, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(2, static_cast<std::uint32_t>(size), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<std::uint32_t>(width), 4);
    put(22, static_cast<std::uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    const bool ok = fd >= 0 && ::write(fd, h, sizeof h) == sizeof h && ::ftruncate(fd, off_t(size)) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// The least and most grey of a picture's part.
std::pair<int, int> greyRange(const QImage& img, QRect part) {
    int least = 255, most = 0;
    for (int y = part.top(); y <= part.bottom(); ++y)
        for (int x = part.left(); x <= part.right(); ++x) {
            const int g = qGray(img.pixel(x, y));
            least = std::min(least, g);
            most = std::max(most, g);
        }
    return {least, most};
}

} // namespace

class FigureTest : public QObject {
    Q_OBJECT

private slots:
    // A file system that stops answering in the middle of a figure's reading (a share
    // whose server is gone) leaves one thread waiting on it, never two: the rows of the
    // first picture are read by the thread that asks for them alone.
    // A drive that stops answering in the middle of a figure holds one thread: the
    // first picture's reading and the figure window's two threads summing levels alike.
    void aStallLeavesOneThreadWaitingOnTheFile() {
        QTemporaryDir dir;
        const QString path = dir.path() + "/Grande.bmp";
        QVERIFY(writeSparseBitmap(path, 12000, 8000)); // too large to be read whole
        const std::shared_ptr<Figure> figure = loadPictureFile(path).figure();
        QVERIFY(figure && !figure->wholeReady());
        const int k = 4, levelRows = 8000 >> k, bpl = (12000 >> k) * 4;
        std::vector<uchar> level(static_cast<std::size_t>(levelRows) * bpl);
        const std::vector<std::function<void()>> readers[] = {
            {[&] {
                (void)figure->sampled({400, 300});
            }},
            {[&] { (void)figure->averagedRows(k, 0, 16, level.data(), bpl); },
             [&] { (void)figure->averagedRows(k, 16, 16, level.data() + 16 * bpl, bpl); }}};
        for (const std::vector<std::function<void()>>& threads : readers) {
            std::mutex mutex;
            std::condition_variable changed;
            bool stalled = true;
            int waiting = 0, most = 0;
            setPictureReadHook([&](std::uint64_t) {
                std::unique_lock lock(mutex);
                if (!stalled)
                    return;
                most = std::max(most, ++waiting);
                changed.notify_all();
                changed.wait(lock, [&] { return !stalled; });
                --waiting;
            });
            std::vector<std::thread> asking;
            for (const std::function<void()>& read : threads)
                asking.emplace_back(read);
            bool began = false;
            {
                std::unique_lock lock(mutex);
                began = changed.wait_for(lock, std::chrono::seconds(5), [&] { return waiting > 0; });
                changed.wait_for(lock, std::chrono::milliseconds(500), [&] { return waiting > 1; });
                stalled = false;
            }
            changed.notify_all();
            for (std::thread& t : asking)
                t.join();
            setPictureReadHook({});
            QVERIFY(began);
            QCOMPARE(most, 1);
        }
    }

    // Blocks summed straight from a 24-bit file (its rows read a piece at a time, bottom
    // up) average exactly the pixels they cover, a narrower last block and fewer last
    // rows included.
    void blocksSummedFromTheFileAreExactAverages() {
        QTemporaryDir dir;
        const QString path = dir.path() + "/Ruido.bmp";
        QImage noise(4133, 300, QImage::Format_RGB32); // pieces of 84 rows
        std::uint32_t seed = 12345;
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x) {
                seed = seed * 1664525u + 1013904223u;
                noise.setPixel(x, y, 0xFF000000u | (seed >> 8));
            }
        QVERIFY(noise.save(path, "BMP"));
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        struct stat st {};
        QVERIFY(::fstat(fd, &st) == 0);
        std::optional<BmpRows> rows = BmpRows::open(fd, static_cast<std::uint64_t>(st.st_size));
        QVERIFY(rows && rows->wholeDepth() == 24);
        const auto figure =
            Figure::fromRows(fd, QFile::encodeName(path), *std::move(rows), FileState::of(st), false);
        ::close(fd);
        for (int k : {0, 2, 3, 5, 7, 11}) {
            const int w = (noise.width() + (1 << k) - 1) >> k, h = (noise.height() + (1 << k) - 1) >> k;
            QImage level(w, h, QImage::Format_RGB32);
            QVERIFY(
                figure->averagedRows(k, 0, h, level.bits(), static_cast<std::size_t>(level.bytesPerLine())));
            for (int by = 0; by < h; ++by)
                for (int bx = 0; bx < w; ++bx) {
                    std::uint32_t sum[3] = {0, 0, 0}, n = 0;
                    for (int y = by << k; y < std::min(noise.height(), (by + 1) << k); ++y)
                        for (int x = bx << k; x < std::min(noise.width(), (bx + 1) << k); ++x, ++n) {
                            const QRgb p = noise.pixel(x, y);
                            sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p);
                        }
                    const QRgb want =
                        qRgb(int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n), int((sum[2] + n / 2) / n));
                    if (level.pixel(bx, by) != want)
                        QFAIL(qPrintable(QString("k %1, block %2,%3: %4 for %5")
                                             .arg(k)
                                             .arg(bx)
                                             .arg(by)
                                             .arg(level.pixel(bx, by), 0, 16)
                                             .arg(want, 0, 16)));
                }
        }
    }

    // Each result pixel averages what it covers, fractions of pixels weighed: stripes a
    // third as wide are two greys (one or two white of three), a quarter one grey.
    void theAreaFilterWeighsWhatEachPixelCovers() {
        const QImage s = stripes({12, 6});
        const QImage third = shrinkByArea(s, 0, 0, 3, {4, 2});
        for (int x = 0; x < 4; ++x)
            QCOMPARE(qRed(third.pixel(x, 0)), x % 2 ? 170 : 85);
        const QImage quarter = shrinkByArea(s, 0, 0, 4, {3, 1});
        for (int x = 0; x < 3; ++x)
            QCOMPARE(qRed(quarter.pixel(x, 0)), 128);
        // A pixel and a half: the second source pixel counts half in each of the first two.
        const QImage half = shrinkByArea(s.copy(0, 0, 3, 1), 0, 0, 1.5, {2, 1});
        QCOMPARE(qRed(half.pixel(0, 0)), 85); // black, and half of white
        QCOMPARE(qRed(half.pixel(1, 0)), 85); // half of white, and black
        // Blocks of 2^k at the edges take the pixels there are.
        const QImage blocks = averageBlocks(stripes({5, 3}), 1);
        QCOMPARE(blocks.size(), QSize(3, 2));
        QCOMPARE(qRed(blocks.pixel(0, 0)), 128);
        QCOMPARE(qRed(blocks.pixel(2, 1)), 0); // the last column alone, black
    }

    // A figure of stripes read from its file by rows: an even grey at 25 % and at zooms
    // between the levels, never stripes or moiré; past 100 % each pixel a sharp square.
    void aFigureOfStripesIsGreyShrunkAndSharpEnlarged() {
        QTemporaryDir dir;
        const QString path = dir.path() + "/Rayas.bmp";
        QVERIFY(stripes({1000, 600}).save(path, "BMP"));
        const Picture picture = loadPictureFile(path);
        QVERIFY(picture.readAsShown());
        std::atomic<int> told{0};
        FigureRenderer renderer(picture.figure(), {250, 150}, [&told] { ++told; });
        for (double zoom : {0.25, 0.3, 0.07}) {
            const QSize shown = scaledSize({1000, 600}, zoom);
            bool exact = false;
            const QImage img = drawn(renderer, zoom, shown, &exact);
            QVERIFY2(exact, qPrintable(QString::number(zoom)));
            // The right and bottom edges may hold a part of a pixel's worth.
            const auto [least, most] = greyRange(img, QRect(0, 0, shown.width() - 1, shown.height() - 1));
            QVERIFY2(least >= 126 && most <= 129,
                     qPrintable(QString("%1: %2..%3").arg(zoom).arg(least).arg(most)));
        }
        QVERIFY(told > 0);
        const QImage big = drawn(renderer, 4, {64, 16});
        for (int x = 0; x < 64; ++x)
            QCOMPARE(qRed(big.pixel(x, 9)), (x / 4) % 2 ? 255 : 0);
    }

    // Cut short while shown: nothing crashes, what was shown stays, nothing of the file
    // as it is now is shown, and loading it again tells that it is no valid picture.
    void aFigureCutShortWhileShownKeepsWhatWasShown() {
        QTemporaryDir dir;
        const QString path = dir.path() + "/Corta.bmp";
        QImage original(700, 500, QImage::Format_RGB32);
        original.fill(qRgb(200, 30, 40));
        QVERIFY(original.save(path, "BMP"));
        const Picture picture = loadPictureFile(path);
        const std::shared_ptr<Figure> figure = picture.figure();
        FigureRenderer renderer(figure, {350, 250}, [] {});
        const QImage before = drawn(renderer, 0.5, {350, 250});
        QCOMPARE(before.pixel(100, 100), qRgb(200, 30, 40));
        QVERIFY(::truncate(QFile::encodeName(path).constData(), 54 + 700 * 3 * 100) == 0);
        // A zoom never drawn before: from the whole picture if it was read before the
        // cut, else the first picture stands; never anything of the file as it is now.
        const QImage after = drawn(renderer, 2, {300, 300});
        QCOMPARE(greyRange(after, after.rect()),
                 std::make_pair(qGray(qRgb(200, 30, 40)), qGray(qRgb(200, 30, 40))));
        QCOMPARE(drawn(renderer, 0.5, {350, 250}), before);
        QCOMPARE(picture.corner({181, 189}).pixel(50, 50), qRgb(200, 30, 40));
        try {
            const QImage whole = picture.image(); // read whole before the cut, or refused
            QCOMPARE(whole.convertToFormat(QImage::Format_RGB32), original);
        } catch (const PictureError& e) {
            QCOMPARE(e.kind(), PictureError::Invalid);
        }
        try {
            (void)loadPictureFile(path);
            QFAIL("a file cut short was loaded");
        } catch (const RuntimeError& e) {
            QCOMPARE(e.code(), ErrorCode::InvalidPicture);
        }
    }
};

QTEST_MAIN(FigureTest)
#include "test_figure.moc"
