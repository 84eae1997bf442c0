// LoadPicture on bitmaps against two floors measured in the same run, and against Qt's
// own reader, for 1, 16 and 64 megapixel pictures:
//   copy floor: the file mapped, its pages touched and its pixel bytes copied into a
//               buffer whose pages are already present;
//   fill floor: the decoded picture's bytes written into a buffer already present.
// Uncompressed 24-bit pictures are measured against the copy floor, 8-bit and RLE8
// pictures against the fill floor; small pictures have no target.
//   bench_bmp [folder for the test files]
#include "platform/world/picture_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
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

double medianMs(int runs, const std::function<void()>& work, const std::function<void()>& before = {}) {
    std::vector<double> t;
    work(); // warm the file cache
    for (int i = 0; i < runs; ++i) {
        if (before)
            before();
        const auto start = std::chrono::steady_clock::now();
        work();
        t.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// A buffer whose pages are present: touched once before any timing.
struct PresentBuffer {
    std::vector<char> bytes;
    explicit PresentBuffer(std::size_t n) : bytes(n, 1) {}
    char* data() { return bytes.data(); }
};

// The copy floor: the file mapped, its pages touched, its last `pixelBytes` bytes copied.
void copyFloor(const QString& file, char* into, std::size_t pixelBytes) {
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        std::abort();
    const auto size = std::size_t(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED)
        std::abort();
    const auto* p = static_cast<const volatile char*>(map);
    char sum = 0;
    for (std::size_t i = 0; i < size; i += 4096)
        sum = char(sum + p[i]);
    const std::size_t n = std::min(size, pixelBytes);
    std::memcpy(into, static_cast<const char*>(map) + (size - n), n);
    into[0] = char(into[0] + sum);
    ::munmap(map, size);
    ::close(fd);
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
        bool againstCopy; // else against the fill floor
        double target;
    } kinds[] = {{"24-bit", 0, true, 2.0}, {"8-bit", 1, false, 3.0}, {"RLE8", 2, false, 3.0}};
    const struct { int mp, w, h; } sizes[] = {{1, 1000, 1000}, {16, 4000, 4000}, {64, 8000, 8000}};
    std::printf("%-14s %8s %8s %8s %7s %8s %8s\n", "figure", "ours ms", "copy ms", "fill ms", "ratio",
                "target", "Qt ms");
    // A picture of another size, loaded between two loads of a large one, takes the memory
    // the large one gave back: the next large one gets fresh memory.
    const QString other = writeBmp(folder, 999, 1000, 0);
    for (const auto& k : kinds)
        for (const auto& s : sizes) {
            const QString file = writeBmp(folder, s.w, s.h, k.kind);
            const int runs = s.mp >= 64 ? 7 : 11;
            const std::size_t pixelBytes = std::size_t(((s.w * (k.kind == 0 ? 24 : 8) + 31) / 32) * 4) * s.h;
            PresentBuffer present(pixelBytes);
            const double copy = medianMs(runs, [&] { copyFloor(file, present.data(), pixelBytes); });
            const double fill = medianMs(runs, [&] { std::memset(present.data(), 0x5A, pixelBytes); });
            const double ours = medianMs(runs, [&] { kv::loadPictureFile(file); });
            const double qt = medianMs(std::min(runs, 5), [&] { QImageReader(file).read(); });
            const bool targeted = s.mp >= 16 && (k.kind != 2 || s.mp >= 64);
            const double ratio = ours / (k.againstCopy ? copy : fill);
            char label[32], target[16];
            std::snprintf(label, sizeof label, "%s %d MP", k.name, s.mp);
            std::snprintf(target, sizeof target, targeted ? "%.0fx %s" : "-", k.target,
                          k.againstCopy ? "copy" : "fill");
            std::printf("%-14s %8.1f %8.1f %8.1f %7.2f %8s %8.1f\n", label, ours, copy, fill, ratio, target,
                        qt);
            if (k.kind == 0 && s.mp >= 16) {
                const double fresh = medianMs(
                    runs, [&] { kv::loadPictureFile(file); }, [&] { kv::loadPictureFile(other); });
                std::printf("%-14s %8.1f %8s %8s %7.2f %8s\n", "  fresh memory", fresh, "", "", fresh / copy,
                            "-");
            }
            QFile::remove(file);
        }
    std::printf("ratio: ours against the copy floor (24-bit) or the fill floor (8-bit, RLE8).\n"
                "fresh memory: each load after a picture of another size, which took the memory\n"
                "the last one gave back.\n");
    return 0;
}
