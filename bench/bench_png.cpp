// The clipboard's PNG encoding of one figure, in process: on every core (as "Copia"
// does), on one, and Qt's own PNG writer at its default and at level 1 (what a paste
// cost before), each checked to hold the figure's pixels.
//   bench_png FIGURE.bmp
#include "picture/picture.h"
#include "picture/png_writer.h"
#include "platform/world/picture_file.h"
#include "timing.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageWriter>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

using namespace kv;

namespace {

bool same(const QByteArray& png, const QImage& image) {
    QImage back;
    return back.loadFromData(png, "PNG") &&
           back.convertToFormat(QImage::Format_RGB32) == image.convertToFormat(QImage::Format_RGB32);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_png FIGURE.bmp\n");
        return 2;
    }
    const QImage image = loadPictureFile(QString::fromLocal8Bit(argv[1])).image();
    const std::atomic<bool> going{false};
    QByteArray png;
    const double all = median(5, [&] { png = encodePng(image, going); });
    const bool ok = same(png, image);
    const double one = median(3, [&] { png = encodePng(image, going, 1); });
    auto qt = [&](int quality) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        writer.setQuality(quality); // Qt: zlib level (100 - quality) * 9 / 91; 89 gives 1
        return ms([&] { writer.write(image); });
    };
    const double qtDefault = qt(-1);
    const double qtFast = qt(89);
    const double mp = double(image.width()) * image.height() / 1e6;
    std::printf("%-38s %10s %8s  %s\n", "PNG encoding", "ms", "MB", "");
    std::printf("%-38s %10.1f %8.1f  %s\n",
                qPrintable(QString("%1 MP, every core (Copia)").arg(mp, 0, 'f', 0)), all,
                png.size() / 1048576.0, ok ? "pixels exact; target <= 700 ms for 16 MP" : "PIXELS DIFFER");
    std::printf("%-38s %10.1f %8s\n", "  one core", one, "");
    std::printf("%-38s %10.1f %8s\n", "  Qt's PNG writer, its default", qtDefault, "");
    std::printf("%-38s %10.1f %8s\n", "  Qt's PNG writer, zlib level 1", qtFast, "");
    return ok ? 0 : 1;
}
