// LoadPicture on bitmaps against its floor (reading the file plus one copy of its pixel
// bytes) and against Qt's own reader, for 1, 16 and 64 megapixel pictures.
//   bench_bmp [folder for the test files]
#include "platform/picture.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

void put16(QByteArray& b, quint32 v) {
    b.append(char(v & 0xFF));
    b.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& b, quint32 v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// Writes a bottom-up BMP: 24 bits, 8 bits with a palette, or RLE8 (runs of 16).
QString writeBmp(const QString& folder, int w, int h, int kind) {
    const int bits = kind == 0 ? 24 : 8;
    const int stride = ((w * bits + 31) / 32) * 4;
    QByteArray pixels;
    if (kind == 2) {
        pixels.reserve(qsizetype(w) * h / 8 + h * 2 + 2);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; x += 16) {
                pixels.append(char(std::min(16, w - x)));
                pixels.append(char((x / 16 + y) & 0xFF));
            }
            pixels.append('\0');
            pixels.append('\0');
        }
        pixels.append('\0');
        pixels.append('\1');
    } else {
        pixels.resize(qsizetype(stride) * h);
        for (qsizetype i = 0; i < pixels.size(); ++i)
            pixels[i] = char((i * 7 + i / 4096) & 0xFF);
    }
    QByteArray header;
    const int paletteBytes = bits == 8 ? 1024 : 0;
    header += "BM";
    put32(header, quint32(54 + paletteBytes + pixels.size()));
    put32(header, 0);
    put32(header, quint32(54 + paletteBytes));
    put32(header, 40);
    put32(header, quint32(w));
    put32(header, quint32(h));
    put16(header, 1);
    put16(header, quint32(bits));
    put32(header, kind == 2 ? 1 : 0);
    put32(header, quint32(pixels.size()));
    put32(header, 2835);
    put32(header, 2835);
    put32(header, 0);
    put32(header, 0);
    for (int i = 0; i < paletteBytes / 4; ++i)
        put32(header, quint32(i * 0x010101));
    const QString name = QString("%1/%2-%3x%4.bmp").arg(folder).arg(kind).arg(w).arg(h);
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly) || f.write(header) != header.size() || f.write(pixels) != pixels.size())
        std::abort();
    return name;
}

double medianMs(int runs, const std::function<void()>& work) {
    std::vector<double> t;
    work(); // warm the file cache
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        t.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QImageReader::setAllocationLimit(0);
    QTemporaryDir tmp;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    const struct {
        const char* name;
        int kind;
        double target;
    } kinds[] = {{"24-bit", 0, 2.0}, {"8-bit", 1, 4.0}, {"RLE8", 2, 4.0}};
    const struct { int mp, w, h; } sizes[] = {{1, 1000, 1000}, {16, 4000, 4000}, {64, 8000, 8000}};
    std::printf("%-18s %10s %10s %7s %10s %8s\n", "figure", "ours ms", "floor ms", "ratio", "Qt ms",
                "target");
    for (const auto& k : kinds)
        for (const auto& s : sizes) {
            const QString file = writeBmp(folder, s.w, s.h, k.kind);
            const int runs = s.mp >= 64 ? 5 : 11;
            // The floor: read the whole file into memory, then copy its pixel bytes once into
            // a new buffer (for RLE8, as many bytes as the decoded picture holds).
            const qsizetype pixelBytes = qsizetype(((s.w * (k.kind == 0 ? 24 : 8) + 31) / 32) * 4) * s.h;
            const double floor = medianMs(runs, [&] {
                QFile f(file);
                f.open(QIODevice::ReadOnly);
                const QByteArray all = f.readAll();
                QByteArray copy(pixelBytes, Qt::Uninitialized);
                const qsizetype n = std::min(all.size(), pixelBytes);
                std::memcpy(copy.data(), all.constData() + (all.size() - n), size_t(n));
                if (n < pixelBytes) // a compressed file: the rest of the picture is written too
                    std::memset(copy.data() + n, 0, size_t(pixelBytes - n));
            });
            const double ours = medianMs(runs, [&] { kv::loadPictureFile(file); });
            const double qt = medianMs(std::min(runs, 5), [&] { QImageReader(file).read(); });
            char label[32];
            std::snprintf(label, sizeof label, "%s %d MP", k.name, s.mp);
            std::printf("%-18s %10.1f %10.1f %7.2f %10.1f %7.1fx\n", label, ours, floor, ours / floor, qt,
                        k.target);
            QFile::remove(file);
        }
    return 0;
}
