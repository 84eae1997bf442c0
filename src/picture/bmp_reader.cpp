#include "picture/bmp_reader.h"

#include "picture/picture_error.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImageReader>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kv {

// Runs the test hook, if any, before a read.
void callReadHook(std::uint64_t offset);

namespace {

[[noreturn]] void invalid() {
    throw PictureError(PictureError::Invalid);
}
[[noreturn]] void tooLarge() {
    throw PictureError(PictureError::TooLarge);
}

enum : std::uint32_t {
    BI_RGB = 0,
    BI_RLE8 = 1,
    BI_RLE4 = 2,
    BI_BITFIELDS = 3,
    BI_JPEG = 4,
    BI_PNG = 5,
    BI_ALPHABITFIELDS = 6,
    // OS/2 2.x reuses the numbers 3 and 4 for its own compressions.
    OS2_HUFFMAN1D = 1003,
    OS2_RLE24 = 1004,
};

// The colour space of a version 5 header whose colour profile follows the pixels.
constexpr std::uint32_t kProfileEmbedded = 0x4D424544; // 'MBED'
// Larger profiles are not read (real ones take a few kilobytes, a few megabytes at most).
constexpr std::uint64_t kMaxProfileBytes = std::uint64_t(16) << 20;

// Little-endian reads that never leave the buffer.
struct Bytes {
    const std::uint8_t* p;
    std::size_t n;
    bool has(std::uint64_t off, std::uint64_t len) const { return off <= n && len <= n - off; }
    void need(std::uint64_t off, std::uint64_t len) const {
        if (!has(off, len))
            invalid();
    }
    std::uint16_t u16(std::size_t off) const {
        need(off, 2);
        return static_cast<std::uint16_t>(p[off] | p[off + 1] << 8);
    }
    std::uint32_t u32(std::size_t off) const {
        need(off, 4);
        return static_cast<std::uint32_t>(p[off]) | static_cast<std::uint32_t>(p[off + 1]) << 8 |
               static_cast<std::uint32_t>(p[off + 2]) << 16 | static_cast<std::uint32_t>(p[off + 3]) << 24;
    }
    std::int32_t i32(std::size_t off) const { return static_cast<std::int32_t>(u32(off)); }
};

struct Header {
    std::int64_t width = 0, height = 0;
    bool topDown = false;
    int bits = 0;
    std::uint32_t compression = BI_RGB;
    std::uint32_t imageSize = 0;
    std::uint32_t colorsUsed = 0;
    std::uint32_t masks[4] = {0, 0, 0, 0}; // red, green, blue, alpha
    bool masksGiven = false;
    std::size_t paletteAt = 0;
    int paletteEntry = 4; // bytes per palette entry
    std::size_t pixelsAt = 0;
    // An embedded colour profile, where in the file and how long; 0 bytes if none.
    std::uint64_t profileAt = 0, profileBytes = 0;
};

bool isWindowsHeaderSize(std::uint32_t s) {
    return s == 40 || s == 52 || s == 56 || s == 108 || s == 124;
}

// The depth of the picture a header makes, in bits per pixel.
int outputDepth(const Header& h) {
    if (h.bits <= 8 || h.compression == BI_RLE8 || h.compression == BI_RLE4)
        return 8;
    if (h.bits == 24 && (h.compression == BI_RGB || h.compression == OS2_RLE24))
        return 24;
    return 32;
}

// The header, from the file's first bytes `b` (all of it, or at least its first
// kHeadBytes) and the size of the whole file. A picture larger than the program takes
// raises the out-of-memory error as soon as its size and depth are known: the number
// depends on the header alone, not on whatever else is wrong with the file.
Header readHeader(const Bytes& b, std::uint64_t fileSize, bool checkSize = true) {
    if (!looksLikeBmp(b.p, b.n))
        invalid();
    Header h;
    const std::uint32_t offBits = b.u32(10);
    const std::uint32_t hs = b.u32(14);
    std::size_t end = 14;
    if (hs == 12) { // OS/2 1.x
        h.width = b.u16(18);
        h.height = b.u16(20);
        h.bits = b.u16(24);
        h.paletteEntry = 3;
        end += 12;
    } else if (isWindowsHeaderSize(hs) || (hs >= 16 && hs <= 64)) {
        b.need(14, hs);
        const bool os2 = !isWindowsHeaderSize(hs);
        h.width = b.i32(18);
        const std::int32_t height = b.i32(22);
        if (height == INT32_MIN)
            invalid();
        h.topDown = height < 0;
        h.height = height < 0 ? -static_cast<std::int64_t>(height) : height;
        h.bits = b.u16(28);
        h.compression = hs >= 20 ? b.u32(30) : BI_RGB;
        h.imageSize = hs >= 24 ? b.u32(34) : 0;
        h.colorsUsed = hs >= 36 ? b.u32(46) : 0;
        end += hs;
        if (os2 && (h.compression == 3 || h.compression == 4))
            h.compression += 1000;
        if (h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS) {
            h.masksGiven = true;
            const std::size_t at = 54;
            const int count = (hs >= 56 || h.compression == BI_ALPHABITFIELDS) ? 4 : 3;
            for (int i = 0; i < count; ++i)
                h.masks[i] = b.u32(at + 4 * static_cast<std::size_t>(i));
            if (hs == 40)
                end += static_cast<std::size_t>(count) * 4; // the masks follow the header
        }
        if (hs == 124 && b.u32(14 + 56) == kProfileEmbedded) {
            // Counted from the start of the header, not of the file. A profile that is not
            // all in the file is ignored, as any profile that cannot be used.
            const std::uint64_t at = 14 + static_cast<std::uint64_t>(b.u32(14 + 112));
            const std::uint64_t bytes = b.u32(14 + 116);
            if (bytes > 0 && bytes <= kMaxProfileBytes && at <= fileSize && bytes <= fileSize - at) {
                h.profileAt = at;
                h.profileBytes = bytes;
            }
        }
    } else {
        invalid();
    }
    if (h.width <= 0 || h.height <= 0)
        invalid();
    const bool embedded = h.compression == BI_JPEG || h.compression == BI_PNG;
    switch (h.bits) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
    case 64:
        break;
    case 0:
        if (embedded) // the embedded picture carries its own depth
            break;
        invalid();
    default:
        invalid();
    }
    if (!embedded && checkSize) // an embedded picture's own size counts, checked as it is read
        checkPictureSize(h.width, h.height, outputDepth(h));
    h.paletteAt = end;
    std::uint64_t paletteBytes = 0;
    if (h.bits <= 8 && !embedded) {
        const std::uint64_t entries = h.colorsUsed ? h.colorsUsed : (1u << h.bits);
        paletteBytes = entries * static_cast<std::uint64_t>(h.paletteEntry);
        if (end > fileSize || paletteBytes > fileSize - end)
            invalid(); // the palette runs off the file
    }
    h.pixelsAt = offBits ? offBits : end + static_cast<std::size_t>(paletteBytes);
    if (h.pixelsAt < 14 + static_cast<std::size_t>(std::min<std::uint32_t>(hs, 124)) || h.pixelsAt > fileSize)
        invalid();
    return h;
}

// --- Memory for pictures ---------------------------------------------------------------

// From this size on a picture gets pages of its own, kept for the next picture (below);
// smaller pictures come from the heap. The mapping starts on a huge page boundary, so a
// system that gives huge pages of its own accord can use them, but it does not ask for
// them, except for a picture read beside the program's start (ReadingBesideStart), which
// gets pages of its own from one huge page's size on: on a virtual machine whose host
// takes freed memory back, a fault that must find a 2 MiB page now and then takes most
// of a second, where small pages come at a steady cost.
constexpr std::size_t kMappedBytes = std::size_t(4) << 20;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kPage = 4096;

// Whether the calling thread reads beside the program's start (see ReadingBesideStart).
bool& besideStart() {
    thread_local bool beside = false;
    return beside;
}

struct Mapping {
    uchar* start = nullptr; // aligned to a huge page
    std::size_t length = 0;
};

void unmap(Mapping* m) {
    ::munmap(m->start, m->length);
    delete m;
}

// The memory of the last large picture given back, kept for the next one. A viewer
// loads pictures of like sizes one after the other, and fresh memory costs more than
// filling it: the system must fault it in and clear it (on a virtual machine that hands
// freed memory back to its host, far more). Only one is kept, and only until the next
// picture, which takes it if it fits and otherwise lets it go.
struct Spare {
    std::mutex lock;
    Mapping* memory = nullptr;
};

Spare& spare() {
    static Spare* s = new Spare; // never destroyed: pictures may be let go at exit
    return *s;
}

void givePictureBack(void* info) {
    auto* m = static_cast<Mapping*>(info);
    Spare& s = spare();
    std::unique_lock<std::mutex> hold(s.lock);
    std::swap(s.memory, m);
    hold.unlock();
    if (m)
        unmap(m);
}

// The spare memory if it fits `bytes` without wasting much, else none (and the spare is
// let go).
Mapping* takeSpare(std::size_t bytes) {
    Spare& s = spare();
    std::unique_lock<std::mutex> hold(s.lock);
    Mapping* m = std::exchange(s.memory, nullptr);
    hold.unlock();
    if (m && m->length >= bytes && m->length - bytes <= bytes / 4 + kHugePage)
        return m;
    if (m)
        unmap(m);
    return nullptr;
}

Mapping* mapFresh(std::size_t bytes) {
    auto m = std::make_unique<Mapping>();
    // In whole huge pages when asked for them, the tail too.
    const std::size_t unit = besideStart() ? kHugePage : kPage;
    m->length = (bytes + unit - 1) / unit * unit;
    // Mapped a huge page longer, then cut to start on a huge page boundary.
    const std::size_t mapped = m->length + kHugePage;
    void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        tooLarge();
    const auto at = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t start = (at + kHugePage - 1) & ~(std::uintptr_t(kHugePage) - 1);
    if (start > at)
        ::munmap(base, start - at);
    if (start + m->length < at + mapped)
        ::munmap(reinterpret_cast<void*>(start + m->length), at + mapped - (start + m->length));
    m->start = reinterpret_cast<uchar*>(start);
    if (besideStart())
        ::madvise(m->start, m->length, MADV_HUGEPAGE); // a hint: without huge pages it works too
    return m.release();
}

// A picture of the header's size. `zero` tells whether its pixels are known to be zero:
// fresh pages come zeroed from the system, so a picture that wants zeros (`wantZero`)
// gets them without a pass over the pixels, except in memory a picture gave back, which
// the caller zeroes where it needs to.
QImage allocate(const Header& h, QImage::Format format, int depth, bool wantZero, bool& zero) {
    checkPictureSize(h.width, h.height, depth);
    const std::uint64_t stride = ((static_cast<std::uint64_t>(h.width) * depth + 31) / 32) * 4;
    const std::uint64_t total = stride * static_cast<std::uint64_t>(h.height);
    const int w = static_cast<int>(h.width), ht = static_cast<int>(h.height);
    try {
        QImage img;
        Mapping* m = takeSpare(static_cast<std::size_t>(total));
        zero = m == nullptr;
        if (m || total >= kMappedBytes || (besideStart() && total >= kHugePage)) {
            if (!m)
                m = mapFresh(static_cast<std::size_t>(total));
            img = QImage(m->start, w, ht, static_cast<qsizetype>(stride), format, givePictureBack, m);
            if (img.isNull()) {
                unmap(m);
                tooLarge();
            }
        } else if (wantZero) {
            void* buffer = std::calloc(static_cast<std::size_t>(total), 1);
            if (!buffer)
                tooLarge();
            img = QImage(
                static_cast<uchar*>(buffer), w, ht, static_cast<qsizetype>(stride), format,
                [](void* p) { std::free(p); }, buffer);
            if (img.isNull()) {
                std::free(buffer);
                tooLarge();
            }
        } else {
            img = QImage(w, ht, format);
            zero = false;
        }
        if (img.isNull())
            tooLarge();
        return img;
    } catch (const std::bad_alloc&) {
        tooLarge();
    }
}

QImage allocate(const Header& h, QImage::Format format, int depth) {
    bool zero = false;
    return allocate(h, format, depth, false, zero);
}

// --- Work on two cores -----------------------------------------------------------------

// Below this much work a second thread costs more than it saves.
constexpr std::uint64_t kParallelBytes = std::uint64_t(4) << 20;

unsigned cores() {
    static const unsigned n = std::max(1u, std::thread::hardware_concurrency());
    return besideStart() ? 1 : n;
}

// Runs `there` on a worker thread while `here` runs on this one. Both have finished when
// this returns; a failure of either is raised then. With no thread to be had, `alone`
// runs here instead.
template <class There, class Here, class Alone> void onTwoThreads(There&& there, Here&& here, Alone&& alone) {
    std::exception_ptr failure;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try {
                there();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (...) {
    }
    if (!worker.joinable()) {
        alone();
        return;
    }
    try {
        here();
    } catch (...) {
        worker.join();
        throw;
    }
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Runs work(first, end, part) over rows [0, rows): split in two, part 0 on this thread
// and part 1 on a worker, when there are two cores and the work (in bytes written) is
// worth it.
template <class Work> void inTwo(std::int64_t rows, std::uint64_t bytes, Work&& work) {
    if (rows < 2 || bytes < kParallelBytes || cores() < 2) {
        work(std::int64_t(0), rows, 0);
        return;
    }
    const std::int64_t mid = rows / 2;
    onTwoThreads([&] { work(mid, rows, 1); }, [&] { work(std::int64_t(0), mid, 0); },
                 [&] { work(std::int64_t(0), rows, 0); });
}

// --- Palettes and rows -----------------------------------------------------------------

QList<QRgb> colorTable(const Bytes& b, const Header& h) {
    QList<QRgb> table(256, qRgb(0, 0, 0)); // indexes past the palette show black
    const std::uint32_t entries = std::min<std::uint32_t>(h.colorsUsed ? h.colorsUsed : (1u << h.bits), 256);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = h.paletteAt + static_cast<std::size_t>(i) * h.paletteEntry;
        b.need(at, 3);
        table[static_cast<int>(i)] = qRgb(b.p[at + 2], b.p[at + 1], b.p[at]);
    }
    return table;
}

int imageRow(const Header& h, std::int64_t y) {
    return static_cast<int>(h.topDown ? y : h.height - 1 - y);
}

// Uncompressed rows: all of them must be there (the last row may lack its padding).
std::size_t rowStride(const Header& h) {
    return ((static_cast<std::size_t>(h.width) * h.bits + 31) / 32) * 4;
}

std::uint64_t neededRowBytes(const Header& h) {
    const std::uint64_t last = (static_cast<std::uint64_t>(h.width) * h.bits + 7) / 8;
    return rowStride(h) * static_cast<std::uint64_t>(h.height - 1) + last;
}

void needRows(const Bytes& b, const Header& h) {
    if (!b.has(h.pixelsAt, neededRowBytes(h)))
        invalid();
}

std::uint64_t pictureBytes(const QImage& img) {
    return static_cast<std::uint64_t>(img.bytesPerLine()) * static_cast<std::uint64_t>(img.height());
}

QImage readIndexed(const Bytes& b, const Header& h) {
    needRows(b, h);
    QImage img = allocate(h, QImage::Format_Indexed8, 8);
    img.setColorTable(colorTable(b, h));
    const std::size_t stride = rowStride(h);
    const int w = static_cast<int>(h.width);
    uchar* const bits = img.bits();
    const std::size_t outStride = static_cast<std::size_t>(img.bytesPerLine());
    inTwo(h.height, pictureBytes(img), [&](std::int64_t first, std::int64_t end, int) {
        for (std::int64_t y = first; y < end; ++y) {
            const std::uint8_t* src = b.p + h.pixelsAt + static_cast<std::size_t>(y) * stride;
            uchar* dst = bits + static_cast<std::size_t>(imageRow(h, y)) * outStride;
            if (h.bits == 8) {
                std::memcpy(dst, src, static_cast<std::size_t>(w));
                continue;
            }
            const int perByte = 8 / h.bits;
            const int mask = (1 << h.bits) - 1;
            for (int x = 0; x < w; ++x) {
                const int shift = 8 - h.bits * (x % perByte + 1);
                dst[x] = static_cast<uchar>((src[x / perByte] >> shift) & mask);
            }
        }
    });
    return img;
}

QImage readRgb24(const Bytes& b, const Header& h) {
    needRows(b, h);
    QImage img = allocate(h, QImage::Format_BGR888, 24);
    const std::size_t stride = rowStride(h);
    const std::size_t rowBytes = static_cast<std::size_t>(h.width) * 3;
    uchar* const bits = img.bits();
    const std::size_t outStride = static_cast<std::size_t>(img.bytesPerLine());
    inTwo(h.height, pictureBytes(img), [&](std::int64_t first, std::int64_t end, int) {
        for (std::int64_t y = first; y < end; ++y)
            std::memcpy(bits + static_cast<std::size_t>(imageRow(h, y)) * outStride,
                        b.p + h.pixelsAt + static_cast<std::size_t>(y) * stride, rowBytes);
    });
    return img;
}

// An alpha channel that is zero everywhere was never meant: the picture is opaque.
void opaqueIfNoAlpha(QImage& img, std::uint32_t alphaSeen) {
    if (alphaSeen != 0)
        return;
    uchar* const bits = img.bits();
    const std::size_t stride = static_cast<std::size_t>(img.bytesPerLine());
    const int w = img.width();
    inTwo(img.height(), pictureBytes(img), [&](std::int64_t first, std::int64_t end, int) {
        for (std::int64_t y = first; y < end; ++y) {
            auto* line = reinterpret_cast<QRgb*>(bits + static_cast<std::size_t>(y) * stride);
            for (int x = 0; x < w; ++x)
                line[x] |= 0xFF000000u;
        }
    });
    img.reinterpretAsFormat(QImage::Format_RGB32);
}

// One channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0;
    explicit Channel(std::uint32_t m) : mask(m) {
        if (m) {
            shift = std::countr_zero(m);
            max = m >> shift;
        }
    }
    int operator()(std::uint32_t v) const {
        if (!mask)
            return 0;
        const std::uint64_t c = (v & mask) >> shift;
        return static_cast<int>((c * 255 + max / 2) / max);
    }
};

// Converts every row of the file into a 32-bit picture, pixel by pixel, on both cores:
// `pixel` gives the colour of the pixel whose `pixelBytes` bytes it is handed. Returns
// the alpha values met, or'ed together.
template <class Pixel>
std::uint32_t convertRows(const Bytes& b, const Header& h, QImage& img, int pixelBytes, Pixel&& pixel) {
    const std::size_t stride = rowStride(h);
    const int w = static_cast<int>(h.width);
    uchar* const bits = img.bits();
    const std::size_t outStride = static_cast<std::size_t>(img.bytesPerLine());
    std::atomic<std::uint32_t> alphaSeen{0};
    inTwo(h.height, pictureBytes(img), [&](std::int64_t first, std::int64_t end, int) {
        std::uint32_t seen = 0;
        for (std::int64_t y = first; y < end; ++y) {
            const std::uint8_t* src = b.p + h.pixelsAt + static_cast<std::size_t>(y) * stride;
            auto* dst = reinterpret_cast<QRgb*>(bits + static_cast<std::size_t>(imageRow(h, y)) * outStride);
            for (int x = 0; x < w; ++x, src += pixelBytes) {
                const QRgb c = pixel(src);
                seen |= static_cast<std::uint32_t>(qAlpha(c));
                dst[x] = c;
            }
        }
        alphaSeen |= seen;
    });
    return alphaSeen;
}

QImage readBitFields(const Bytes& b, const Header& h) {
    needRows(b, h);
    std::uint32_t m[4] = {h.masks[0], h.masks[1], h.masks[2], h.masks[3]};
    if (!h.masksGiven) {
        if (h.bits == 16) {
            m[0] = 0x7C00, m[1] = 0x03E0, m[2] = 0x001F, m[3] = 0; // 5-5-5
        } else {
            m[0] = 0xFF0000, m[1] = 0xFF00, m[2] = 0xFF, m[3] = 0; // the fourth byte is unused
        }
    }
    const bool alpha = m[3] != 0;
    QImage img = allocate(h, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32, 32);
    const Channel r(m[0]), g(m[1]), bl(m[2]), a(m[3]);
    const int bytes = h.bits / 8;
    const std::uint32_t alphaSeen = convertRows(b, h, img, bytes, [&](const std::uint8_t* src) {
        std::uint32_t v = src[0] | static_cast<std::uint32_t>(src[1]) << 8;
        if (bytes >= 3)
            v |= static_cast<std::uint32_t>(src[2]) << 16;
        if (bytes == 4)
            v |= static_cast<std::uint32_t>(src[3]) << 24;
        return qRgba(r(v), g(v), bl(v), alpha ? a(v) : 255);
    });
    if (alpha)
        opaqueIfNoAlpha(img, alphaSeen);
    return img;
}

// 64-bit pixels: blue, green, red and alpha in 16 bits each, signed fixed point with 13
// fraction bits (8192 is 1.0). Colours are linear light, shown through the sRGB curve;
// alpha is straight (not premultiplied) and linear. Both are clamped to 0..1 and
// rounded to the nearest 8-bit value.
const std::array<std::uint8_t, 65536>& linearToSrgb() {
    static const std::array<std::uint8_t, 65536> table = [] {
        std::array<std::uint8_t, 65536> t{};
        for (int i = 0; i < 65536; ++i) {
            const double v = std::clamp(static_cast<std::int16_t>(i) / 8192.0, 0.0, 1.0);
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            t[static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(std::lround(std::clamp(s, 0.0, 1.0) * 255));
        }
        return t;
    }();
    return table;
}

int alpha13(std::uint16_t raw) {
    const int v = std::clamp<int>(static_cast<std::int16_t>(raw), 0, 8192);
    return (v * 255 + 4096) >> 13;
}

QImage read64(const Bytes& b, const Header& h) {
    needRows(b, h);
    QImage img = allocate(h, QImage::Format_ARGB32, 32);
    const auto& curve = linearToSrgb();
    const std::uint32_t alphaSeen = convertRows(b, h, img, 8, [&curve](const std::uint8_t* src) {
        auto word = [src](int i) { return static_cast<std::uint16_t>(src[2 * i] | src[2 * i + 1] << 8); };
        return qRgba(curve[word(2)], curve[word(1)], curve[word(0)], alpha13(word(3)));
    });
    opaqueIfNoAlpha(img, alphaSeen);
    return img;
}

// Fills a run with word stores, the last one ending where the run ends (overlapping
// the one before): most runs are short, and a string instruction costs more to start
// than such a run takes to write.
inline void fillRun(uchar* out, uchar value, unsigned n) {
    if (n >= 64) {
        std::memset(out, value, n);
        return;
    }
    const std::uint64_t pattern = 0x0101010101010101ULL * value;
    if (n >= 8) {
        for (unsigned i = 0; i + 8 < n; i += 8)
            std::memcpy(out + i, &pattern, 8);
        std::memcpy(out + n - 8, &pattern, 8);
    } else if (n >= 4) {
        std::memcpy(out, &pattern, 4);
        std::memcpy(out + n - 4, &pattern, 4);
    } else if (n >= 2) {
        std::memcpy(out, &pattern, 2);
        std::memcpy(out + n - 2, &pattern, 2);
    } else if (n == 1) {
        *out = value;
    }
}

// RLE4, RLE8 and RLE24. Pixels the stream skips (deltas, early ends of lines or of the
// bitmap) keep colour 0. A stream that ends without its end-of-bitmap code ends there.
class RleStream {
public:
    // Where the stream is: its next code, and the pixel that code starts at.
    struct State {
        std::size_t pos = 0;
        std::int64_t x = 0, y = 0;
    };

    RleStream(const Bytes& b, const Header& h, QImage& img, bool zero)
        : h_(h), p_(b.p),
          end_(h.imageSize && b.has(h.pixelsAt, h.imageSize) ? h.pixelsAt + h.imageSize : b.n), w_(h.width),
          ht_(h.height), pixelBytes_(h.compression == OS2_RLE24 ? 3 : 1), bits_(img.bits()),
          stride_(static_cast<std::size_t>(img.bytesPerLine())), zero_(zero) {}

    State start() const { return {h_.pixelsAt, 0, 0}; }

    // How a walk ended: at the end of the data, or at the first code that takes the
    // stream to row `splitRow` or beyond.
    enum Ended { AtEnd, AtSplit };

    // Walks the stream from `s`, writing the pixels if `Write`. With a split row, stops
    // after the code that reaches it unless `split` hands the rest to this walk (the
    // first walk there claims it, when no other has taken it from there). A walk that
    // goes to the end clears what the stream skipped up to the last pixel.
    template <bool Write> Ended walk(State& s, std::int64_t splitRow, std::atomic<std::int64_t>* split) {
        const std::uint8_t* const p = p_;
        std::size_t pos = s.pos;
        std::int64_t x = s.x, y = s.y;
        uchar* row = rowOf(y);
        std::int64_t rowEnd = y < ht_ ? w_ : 0; // how far a run may reach: nowhere past the last row
        const bool rle8 = h_.compression == BI_RLE8;
        auto save = [&] { s = {pos, x, y}; };
        // After a code that moved the stream down: whether to stop here.
        auto movedDown = [&]() {
            row = rowOf(y);
            rowEnd = y < ht_ ? w_ : 0;
            if (splitRow < 0 || y < splitRow)
                return false;
            splitRow = -1; // one split only
            if (!split)
                return true;
            std::int64_t taken = -1;
            if (split->compare_exchange_strong(taken, kClaimed))
                return false; // nobody starts here: this walk goes on to the end
            if (taken != static_cast<std::int64_t>(pos))
                invalid(); // cannot be: both walks read the same codes
            return true;
        };
        while (pos + 2 <= end_) {
            if (rle8) {
                // Runs of one colour, the bulk of most RLE8 pictures, in a loop of their own.
                while (pos + 2 <= end_ && p[pos] != 0) {
                    const unsigned count = p[pos];
                    if (x + count > rowEnd)
                        invalid();
                    if constexpr (Write)
                        fillRun(row + x, p[pos + 1], count);
                    x += count;
                    pos += 2;
                }
                if (pos + 2 > end_)
                    break;
            }
            const std::uint8_t count = p[pos], code = p[pos + 1];
            pos += 2;
            if (count > 0) { // a run of one colour (RLE4: two alternating colours)
                if (x + count > rowEnd)
                    invalid();
                uchar* out = row + x * pixelBytes_;
                if (h_.compression == BI_RLE4) {
                    const uchar pair[2] = {static_cast<uchar>(code >> 4), static_cast<uchar>(code & 0x0F)};
                    if constexpr (Write)
                        for (int i = 0; i < count; ++i)
                            out[i] = pair[i & 1];
                } else if (h_.compression == BI_RLE8) {
                    if constexpr (Write)
                        fillRun(out, code, count);
                } else {
                    if (pos + 2 > end_)
                        break;
                    const uchar colour[3] = {code, p[pos], p[pos + 1]};
                    pos += 2;
                    if constexpr (Write)
                        for (int i = 0; i < count; ++i)
                            std::memcpy(out + i * 3, colour, 3);
                }
                x += count;
                continue;
            }
            if (code == 0) { // end of line
                if (y >= ht_)
                    invalid();
                if constexpr (Write)
                    clearSkipped(x, y, 0, y + 1);
                x = 0;
                ++y;
                if (movedDown()) {
                    save();
                    return AtSplit;
                }
            } else if (code == 1) { // end of bitmap
                break;
            } else if (code == 2) { // delta: move right and up
                if (pos + 2 > end_)
                    break;
                const std::int64_t toX = x + p[pos], toY = y + p[pos + 1];
                pos += 2;
                if (toX > w_ || toY > ht_ || (toY == ht_ && toX > 0))
                    invalid();
                if constexpr (Write)
                    clearSkipped(x, y, toX, toY);
                x = toX;
                const bool down = toY > y;
                y = toY;
                if (down && movedDown()) {
                    save();
                    return AtSplit;
                }
            } else { // an absolute run of `code` pixels, padded to a whole word
                const std::size_t n = code;
                const std::size_t bytes =
                    h_.compression == BI_RLE4 ? (n + 1) / 2 : n * static_cast<std::size_t>(pixelBytes_);
                if (y >= ht_ || x + static_cast<std::int64_t>(n) > w_ || pos + bytes > end_)
                    invalid();
                uchar* out = row + x * pixelBytes_;
                if constexpr (Write) {
                    if (h_.compression == BI_RLE4) {
                        for (std::size_t i = 0; i < n; ++i)
                            out[i] = static_cast<uchar>(i & 1 ? p[pos + i / 2] & 0x0F : p[pos + i / 2] >> 4);
                    } else {
                        std::memcpy(out, p + pos, bytes);
                    }
                }
                x += static_cast<std::int64_t>(n);
                pos += bytes + (bytes & 1);
            }
        }
        if constexpr (Write)
            clearSkipped(x, y, 0, ht_);
        save();
        return AtEnd;
    }

    // What `split` holds once a walk that started from the beginning went past the split
    // row before any other walk started there.
    static constexpr std::int64_t kClaimed = -2;

private:
    uchar* rowOf(std::int64_t y) const {
        return y < ht_ ? bits_ + static_cast<std::size_t>(imageRow(h_, y)) * stride_ : nullptr;
    }

    // In memory that is not known to be zero, the pixels the stream skips are cleared as
    // it passes them (it only ever moves forward), row padding included.
    void clearSkipped(std::int64_t fromX, std::int64_t fromY, std::int64_t toX, std::int64_t toY) const {
        if (zero_)
            return;
        for (; fromY < toY && fromY < ht_; ++fromY, fromX = 0)
            std::memset(rowOf(fromY) + fromX * pixelBytes_, 0,
                        stride_ - static_cast<std::size_t>(fromX * pixelBytes_));
        if (fromY == toY && toY < ht_ && toX > fromX)
            std::memset(rowOf(toY) + fromX * pixelBytes_, 0,
                        static_cast<std::size_t>((toX - fromX) * pixelBytes_));
    }

    const Header& h_;
    const std::uint8_t* p_;
    std::size_t end_;
    std::int64_t w_, ht_;
    int pixelBytes_;
    uchar* bits_;
    std::size_t stride_;
    bool zero_;
};

// A large picture is decoded on two cores: a worker walks the stream without writing to
// the code where a row some way down begins, tells this thread where that is, and decodes
// from there to the end, while this thread decodes from the start up to that code. If this
// thread gets there first, it decodes the rest itself.
QImage readRle(const Bytes& b, const Header& h) {
    const int depth = h.compression == OS2_RLE24 ? 24 : 8;
    bool zero = false;
    QImage img =
        allocate(h, depth == 24 ? QImage::Format_BGR888 : QImage::Format_Indexed8, depth, true, zero);
    if (depth == 8)
        img.setColorTable(colorTable(b, h));
    RleStream stream(b, h, img, zero);
    RleStream::State first = stream.start();
    if (h.height < 2 || pictureBytes(img) < kParallelBytes || cores() < 2) {
        stream.walk<true>(first, -1, nullptr);
        return img;
    }
    // Walking without writing costs about half of decoding: the worker starts further down.
    const std::int64_t splitRow = h.height * 3 / 5;
    std::atomic<std::int64_t> split{-1};
    onTwoThreads(
        [&] {
            RleStream::State s = stream.start();
            if (stream.walk<false>(s, splitRow, nullptr) != RleStream::AtSplit)
                return;
            std::int64_t none = -1;
            if (split.compare_exchange_strong(none, static_cast<std::int64_t>(s.pos)))
                stream.walk<true>(s, -1, nullptr);
        },
        [&] { stream.walk<true>(first, splitRow, &split); }, [&] { stream.walk<true>(first, -1, nullptr); });
    return img;
}

// --- OS/2 1-D Huffman ------------------------------------------------------------------
//
// The modified Huffman code of Group 3 fax (ITU-T T.4): each row starts with an
// end-of-line code (000000000001), then runs of white and black alternate, white first,
// each a terminating code (0 to 63) after as many make-up codes (multiples of 64) as
// needed, until the row's width is reached. Bits are read most significant first; rows
// are not padded to a byte. White is palette index 0, black index 1.

struct FaxCode {
    const char* bits;
    int run;
};

// Terminating codes for runs 0 to 63, then the make-up codes 64 to 1728.
constexpr FaxCode kWhiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},         {"1011", 4},
    {"1100", 5},         {"1110", 6},         {"1111", 7},         {"10011", 8},        {"10100", 9},
    {"00111", 10},       {"01000", 11},       {"001000", 12},      {"000011", 13},      {"110100", 14},
    {"110101", 15},      {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},     {"0101000", 24},
    {"0101011", 25},     {"0010011", 26},     {"0100100", 27},     {"0011000", 28},     {"00000010", 29},
    {"00000011", 30},    {"00011010", 31},    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},
    {"00010100", 35},    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},    {"00101101", 44},
    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},    {"00001011", 48},    {"01010010", 49},
    {"01010011", 50},    {"01010100", 51},    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},
    {"01011000", 55},    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},    {"11011", 64},
    {"10010", 128},      {"010111", 192},     {"0110111", 256},    {"00110110", 320},   {"00110111", 384},
    {"01100100", 448},   {"01100101", 512},   {"01101000", 576},   {"01100111", 640},   {"011001100", 704},
    {"011001101", 768},  {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280}, {"011011010", 1344},
    {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536}, {"010011010", 1600}, {"011000", 1664},
    {"010011011", 1728},
};

constexpr FaxCode kBlackCodes[] = {
    {"0000110111", 0},
    {"010", 1},
    {"11", 2},
    {"10", 3},
    {"011", 4},
    {"0011", 5},
    {"0010", 6},
    {"00011", 7},
    {"000101", 8},
    {"000100", 9},
    {"0000100", 10},
    {"0000101", 11},
    {"0000111", 12},
    {"00000100", 13},
    {"00000111", 14},
    {"000011000", 15},
    {"0000010111", 16},
    {"0000011000", 17},
    {"0000001000", 18},
    {"00001100111", 19},
    {"00001101000", 20},
    {"00001101100", 21},
    {"00000110111", 22},
    {"00000101000", 23},
    {"00000010111", 24},
    {"00000011000", 25},
    {"000011001010", 26},
    {"000011001011", 27},
    {"000011001100", 28},
    {"000011001101", 29},
    {"000001101000", 30},
    {"000001101001", 31},
    {"000001101010", 32},
    {"000001101011", 33},
    {"000011010010", 34},
    {"000011010011", 35},
    {"000011010100", 36},
    {"000011010101", 37},
    {"000011010110", 38},
    {"000011010111", 39},
    {"000001101100", 40},
    {"000001101101", 41},
    {"000011011010", 42},
    {"000011011011", 43},
    {"000001010100", 44},
    {"000001010101", 45},
    {"000001010110", 46},
    {"000001010111", 47},
    {"000001100100", 48},
    {"000001100101", 49},
    {"000001010010", 50},
    {"000001010011", 51},
    {"000000100100", 52},
    {"000000110111", 53},
    {"000000111000", 54},
    {"000000100111", 55},
    {"000000101000", 56},
    {"000001011000", 57},
    {"000001011001", 58},
    {"000000101011", 59},
    {"000000101100", 60},
    {"000001011010", 61},
    {"000001100110", 62},
    {"000001100111", 63},
    {"0000001111", 64},
    {"000011001000", 128},
    {"000011001001", 192},
    {"000001011011", 256},
    {"000000110011", 320},
    {"000000110100", 384},
    {"000000110101", 448},
    {"0000001101100", 512},
    {"0000001101101", 576},
    {"0000001001010", 640},
    {"0000001001011", 704},
    {"0000001001100", 768},
    {"0000001001101", 832},
    {"0000001110010", 896},
    {"0000001110011", 960},
    {"0000001110100", 1024},
    {"0000001110101", 1088},
    {"0000001110110", 1152},
    {"0000001110111", 1216},
    {"0000001010010", 1280},
    {"0000001010011", 1344},
    {"0000001010100", 1408},
    {"0000001010101", 1472},
    {"0000001011010", 1536},
    {"0000001011011", 1600},
    {"0000001100100", 1664},
    {"0000001100101", 1728},
};

// Make-up codes 1792 to 2560, the same for both colours.
constexpr FaxCode kLongMakeUpCodes[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

constexpr int kFaxPeekBits = 13; // the longest code

// A table indexed by the next 13 bits: the length of the code they start with and its
// run, or length 0 where no code starts so.
struct FaxTable {
    std::array<std::uint8_t, 1 << kFaxPeekBits> length{};
    std::array<std::uint16_t, 1 << kFaxPeekBits> run{};

    template <std::size_t N> void add(const FaxCode (&codes)[N]) {
        for (const FaxCode& c : codes) {
            const int len = static_cast<int>(std::strlen(c.bits));
            unsigned prefix = 0;
            for (int i = 0; i < len; ++i)
                prefix = prefix << 1 | (c.bits[i] == '1');
            const unsigned first = prefix << (kFaxPeekBits - len), count = 1u << (kFaxPeekBits - len);
            for (unsigned i = first; i < first + count; ++i) {
                length[i] = static_cast<std::uint8_t>(len);
                run[i] = static_cast<std::uint16_t>(c.run);
            }
        }
    }
};

const FaxTable& faxTable(bool black) {
    static const std::array<FaxTable, 2> tables = [] {
        std::array<FaxTable, 2> t;
        t[0].add(kWhiteCodes);
        t[0].add(kLongMakeUpCodes);
        t[1].add(kBlackCodes);
        t[1].add(kLongMakeUpCodes);
        return t;
    }();
    return tables[black ? 1 : 0];
}

// Bits read most significant first from [begin, end) bytes of the file.
struct BitReader {
    const std::uint8_t* p;
    std::uint64_t pos = 0, end = 0; // in bits
    // The next 13 bits, zeros past the end.
    unsigned peek() const {
        std::uint32_t v = 0;
        const std::uint64_t byte = pos >> 3;
        for (std::uint64_t i = 0; i < 3; ++i)
            v = v << 8 | ((byte + i) * 8 < end ? p[byte + i] : 0u);
        return (v >> (24 - kFaxPeekBits - (pos & 7))) & ((1u << kFaxPeekBits) - 1);
    }
    bool has(std::uint64_t bits) const { return bits <= end - pos; }
    // The number of zero bits from here up to the next one bit or the end.
    std::uint64_t zeros() const {
        std::uint64_t q = pos;
        while (q < end && !((p[q >> 3] >> (7 - (q & 7))) & 1))
            ++q;
        return q - pos;
    }
};

QImage readHuffman(const Bytes& b, const Header& h) {
    if (h.bits != 1)
        invalid();
    bool zero = false;
    QImage img = allocate(h, QImage::Format_Indexed8, 8, true, zero); // all white to start with
    if (!zero)
        std::memset(img.bits(), 0, static_cast<std::size_t>(pictureBytes(img)));
    img.setColorTable(colorTable(b, h));
    const std::size_t endByte =
        h.imageSize && b.has(h.pixelsAt, h.imageSize) ? h.pixelsAt + h.imageSize : b.n;
    BitReader in{b.p + h.pixelsAt, 0, static_cast<std::uint64_t>(endByte - h.pixelsAt) * 8};
    const std::int64_t w = h.width;
    uchar* const bits = img.bits();
    const std::size_t stride = static_cast<std::size_t>(img.bytesPerLine());
    for (std::int64_t y = 0; y < h.height; ++y) {
        // The row's end-of-line code: eleven zeros or more (fill) and a one. No code of a
        // run starts with more than seven zeros.
        const std::uint64_t z = in.zeros();
        if (z >= 11) {
            if (!in.has(z + 1))
                break; // the data ends
            in.pos += z + 1;
        }
        uchar* row = bits + static_cast<std::size_t>(imageRow(h, y)) * stride;
        std::int64_t x = 0;
        bool black = false;
        while (x < w) {
            std::int64_t run = 0;
            for (;;) {
                if (in.zeros() == in.end - in.pos)
                    return img; // the data ends (bar the last byte's padding): the picture as read
                const FaxTable& t = faxTable(black);
                const unsigned next = in.peek();
                const int len = t.length[next];
                if (len == 0)
                    invalid(); // no such code
                if (!in.has(static_cast<std::uint64_t>(len)))
                    return img;
                in.pos += static_cast<std::uint64_t>(len);
                run += t.run[next];
                if (t.run[next] < 64)
                    break; // a terminating code ends the run
                if (run > w)
                    invalid();
            }
            if (x + run > w)
                invalid();
            if (black)
                std::memset(row + x, 1, static_cast<std::size_t>(run));
            x += run;
            black = !black;
        }
    }
    return img; // whatever follows the last row is not read
}

// A PNG or JPEG picture inside the bitmap: its own size counts, not the header's.
QImage readEmbedded(const Bytes& b, const Header& h) {
    const std::size_t len = h.imageSize && b.has(h.pixelsAt, h.imageSize) ? h.imageSize : b.n - h.pixelsAt;
    QByteArray data =
        QByteArray::fromRawData(reinterpret_cast<const char*>(b.p + h.pixelsAt), static_cast<qsizetype>(len));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, h.compression == BI_PNG ? "PNG" : "JPEG");
    const QSize declared = reader.size();
    if (declared.isValid())
        checkPictureSize(declared.width(), declared.height(), 32);
    QImage img = reader.read();
    if (img.isNull())
        invalid();
    return img;
}

// Shows the picture in sRGB through the colour profile it carries. A profile Qt cannot
// read or use leaves the pixels as stored.
void applyProfile(QImage& img, const std::uint8_t* icc, std::size_t bytes) {
    const QColorSpace space = QColorSpace::fromIccProfile(
        QByteArray(reinterpret_cast<const char*>(icc), static_cast<qsizetype>(bytes)));
    if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb))
        return;
    img.setColorSpace(space);
    img.convertToColorSpace(QColorSpace::SRgb);
    if (img.isNull())
        tooLarge();
}

// The picture from the whole file in memory, before its colour profile.
QImage decodePixels(const Bytes& b, const Header& h) {
    switch (h.compression) {
    case BI_RGB:
        if (h.bits <= 8)
            return readIndexed(b, h);
        if (h.bits == 24)
            return readRgb24(b, h);
        if (h.bits == 64)
            return read64(b, h);
        return readBitFields(b, h);
    case BI_RLE8:
        if (h.bits != 8)
            invalid();
        return readRle(b, h);
    case BI_RLE4:
        if (h.bits != 4)
            invalid();
        return readRle(b, h);
    case OS2_RLE24:
        if (h.bits != 24)
            invalid();
        return readRle(b, h);
    case OS2_HUFFMAN1D:
        return readHuffman(b, h);
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (h.bits != 16 && h.bits != 24 && h.bits != 32)
            invalid();
        return readBitFields(b, h);
    case BI_JPEG:
    case BI_PNG:
        return readEmbedded(b, h);
    default:
        invalid(); // anything unknown
    }
}

// Reads file rows [first, end) of an uncompressed 8- or 24-bit picture, whose rows are
// laid out in the file as in the picture, straight into the picture's rows: each read
// takes the rows of about kReadPiece bytes, one piece of memory per row, bottom-up rows
// in their reversed order. Returns the bytes read, fewer where the file ended; `err` is
// the error of a failing read, 0 if none.
std::uint64_t readRowsInto(int fd, const Header& h, uchar* bits, std::size_t stride, std::int64_t first,
                           std::int64_t end, int& err) {
    err = 0;
    const std::uint64_t start = h.pixelsAt + static_cast<std::uint64_t>(first) * stride;
    const std::uint64_t stop = h.pixelsAt + static_cast<std::uint64_t>(end) * stride;
    std::uint64_t pos = start;
    constexpr int kMaxPieces = 1024; // IOV_MAX
    iovec iov[kMaxPieces];
    while (pos < stop) {
        std::int64_t y = static_cast<std::int64_t>((pos - h.pixelsAt) / stride);
        std::size_t within = static_cast<std::size_t>((pos - h.pixelsAt) % stride);
        int n = 0;
        std::size_t bytes = 0;
        while (n < kMaxPieces && y < end && (n == 0 || bytes + stride <= kReadPiece)) {
            iov[n].iov_base = bits + static_cast<std::size_t>(imageRow(h, y)) * stride + within;
            iov[n].iov_len = stride - within;
            bytes += stride - within;
            within = 0;
            ++n;
            ++y;
        }
        callReadHook(pos);
        const ssize_t got = ::preadv(fd, iov, n, static_cast<off_t>(pos));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        if (got == 0)
            break;
        pos += static_cast<std::uint64_t>(got);
    }
    return pos - start;
}

// An uncompressed 8- or 24-bit picture from its file: the header and palette from the
// file's first bytes, the rows read into the picture, half of them by a second thread
// when the picture is large.
QImage readRowsFromFile(int fd, const Bytes& head, const Header& h) {
    const bool indexed = h.bits == 8;
    QImage img = indexed ? allocate(h, QImage::Format_Indexed8, 8) : allocate(h, QImage::Format_BGR888, 24);
    const std::size_t stride = rowStride(h);
    if (static_cast<std::size_t>(img.bytesPerLine()) != stride)
        invalid(); // cannot happen: both pad rows to four bytes
    if (indexed)
        img.setColorTable(colorTable(head, h));
    uchar* const bits = img.bits();
    std::uint64_t got[2] = {0, 0}, wanted[2] = {0, 0};
    int err[2] = {0, 0};
    inTwo(h.height, pictureBytes(img), [&](std::int64_t first, std::int64_t end, int part) {
        got[part] = readRowsInto(fd, h, bits, stride, first, end, err[part]);
        // The last row may lack its padding; anything less is a file cut short.
        wanted[part] = end == h.height ? neededRowBytes(h) - static_cast<std::uint64_t>(first) * stride
                                       : static_cast<std::uint64_t>(end - first) * stride;
    });
    for (int part = 0; part < 2; ++part) {
        if (err[part])
            throw PictureError(PictureError::ReadFailed, err[part]);
        if (got[part] < wanted[part])
            invalid();
    }
    return img;
}

} // namespace

bool looksLikeBmp(const std::uint8_t* data, std::size_t size) {
    return size >= 18 && data[0] == 'B' && data[1] == 'M';
}

namespace {
std::size_t memoryLimitSet = 0;

std::function<void(std::uint64_t)>& readHook() {
    static std::function<void(std::uint64_t)> hook;
    return hook;
}

// How much of a file is read before its header says what follows: the header and a
// palette always fit.
constexpr std::size_t kHeadBytes = 4096;
} // namespace

ReadingBesideStart::ReadingBesideStart() {
    besideStart() = true;
}

ReadingBesideStart::~ReadingBesideStart() {
    besideStart() = false;
}

void callReadHook(std::uint64_t offset) {
    if (const auto& hook = readHook())
        hook(offset);
}

void setPictureReadHook(std::function<void(std::uint64_t offset)> hook) {
    readHook() = std::move(hook);
}

void checkPictureSize(std::int64_t width, std::int64_t height, int bitsPerPixel) {
    if (width <= 0 || height <= 0)
        return;
    const auto w = static_cast<std::uint64_t>(width), ht = static_cast<std::uint64_t>(height);
    if (width > kMaxPictureSide || height > kMaxPictureSide || w * ht > kMaxPicturePixels)
        tooLarge();
    const std::uint64_t stride = ((w * static_cast<std::uint64_t>(bitsPerPixel) + 31) / 32) * 4;
    if (stride > INT32_MAX || stride * ht > pictureMemoryLimit())
        tooLarge();
}

namespace {
thread_local std::mutex* readsInTurn = nullptr;
} // namespace

ReadsOneAtATime::ReadsOneAtATime(std::mutex& lock) : before_(std::exchange(readsInTurn, &lock)) {}

ReadsOneAtATime::~ReadsOneAtATime() {
    readsInTurn = before_;
}

std::size_t readFileAt(int fd, std::uint64_t offset, void* to, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(to);
    std::size_t done = 0;
    while (done < length) {
        const std::size_t piece = std::min(length - done, kReadPiece);
        std::unique_lock<std::mutex> turn;
        if (readsInTurn)
            turn = std::unique_lock<std::mutex>(*readsInTurn);
        callReadHook(offset + done);
        const ssize_t got = ::pread(fd, out + done, piece, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw PictureError(PictureError::ReadFailed, errno);
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

QImage readBmpFile(int fd, std::uint64_t size) {
    std::uint8_t headBytes[kHeadBytes];
    const std::size_t headLength = readFileAt(fd, 0, headBytes, std::min<std::uint64_t>(size, kHeadBytes));
    const Bytes head{headBytes, headLength};
    if (headLength < size) {
        const Header h = readHeader(head, size); // its size checked before reading the rest
        if (h.compression == BI_RGB && (h.bits == 8 || h.bits == 24)) {
            QImage img = readRowsFromFile(fd, head, h);
            if (h.profileBytes) {
                std::vector<std::uint8_t> icc(static_cast<std::size_t>(h.profileBytes));
                if (readFileAt(fd, h.profileAt, icc.data(), icc.size()) == icc.size())
                    applyProfile(img, icc.data(), icc.size());
            }
            return img;
        }
    }
    // Everything else is decoded from the whole file in memory.
    if (size > pictureMemoryLimit())
        tooLarge();
    std::unique_ptr<std::uint8_t[]> all(new (std::nothrow) std::uint8_t[std::max<std::uint64_t>(size, 1)]);
    if (!all)
        tooLarge();
    const std::size_t got = readFileAt(fd, 0, all.get(), static_cast<std::size_t>(size));
    return decodeBmp(all.get(), got);
}

void setPictureMemoryLimit(std::size_t bytes) {
    memoryLimitSet = bytes;
}

std::size_t pictureMemoryLimit() {
    if (memoryLimitSet)
        return memoryLimitSet;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::size_t(1) << 31;
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 2;
}

// --- Pictures read by their rows --------------------------------------------------------

std::optional<BmpRows> BmpRows::open(int fd, std::uint64_t size) {
    std::uint8_t headBytes[kHeadBytes];
    const std::size_t got = readFileAt(fd, 0, headBytes, std::min<std::uint64_t>(size, kHeadBytes));
    const Bytes head{headBytes, got};
    // Its size is checked below, against what reading by rows takes.
    const Header h = readHeader(head, size, false);
    const bool plainDepth = h.bits == 1 || h.bits == 2 || h.bits == 4 || h.bits == 8 || h.bits == 16 ||
                            h.bits == 24 || h.bits == 32;
    const bool plain = h.compression == BI_RGB && plainDepth;
    const bool fields = (h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS) &&
                        (h.bits == 16 || h.bits == 24 || h.bits == 32) && h.masks[3] == 0;
    if (!(plain || fields) || h.profileBytes)
        return std::nullopt;
    if (h.width > kMaxShownSide || h.height > kMaxShownSide)
        tooLarge();
    if (h.pixelsAt > size || neededRowBytes(h) > size - h.pixelsAt)
        invalid(); // the file is shorter than its rows
    BmpRows rows;
    rows.width_ = static_cast<int>(h.width);
    rows.height_ = static_cast<int>(h.height);
    rows.topDown_ = h.topDown;
    rows.bits_ = h.bits;
    rows.fields_ = fields;
    rows.pixelsAt_ = h.pixelsAt;
    rows.stride_ = rowStride(h);
    if (h.bits <= 8) {
        rows.palette_ = colorTable(head, h);
    } else if (h.masksGiven) {
        std::copy(h.masks, h.masks + 3, rows.masks_);
    } else if (h.bits == 16) {
        rows.masks_[0] = 0x7C00, rows.masks_[1] = 0x03E0, rows.masks_[2] = 0x001F; // 5-5-5
    } else {
        rows.masks_[0] = 0xFF0000, rows.masks_[1] = 0xFF00, rows.masks_[2] = 0xFF;
    }
    return rows;
}

std::uint64_t BmpRows::rowOffset(int y) const {
    const int stored = topDown_ ? y : height_ - 1 - y;
    return pixelsAt_ + static_cast<std::uint64_t>(stored) * stride_;
}

void BmpRows::convert(const std::uint8_t* bytes, int x0, int x1, QRgb* out) const {
    if (bits_ <= 8) {
        const int mask = (1 << bits_) - 1;
        const std::int64_t base = static_cast<std::int64_t>(x0) * bits_ / 8 * 8;
        for (int x = x0; x < x1; ++x) {
            const std::int64_t bit = static_cast<std::int64_t>(x) * bits_ - base;
            const int index = (bytes[bit / 8] >> (8 - bits_ - bit % 8)) & mask;
            *out++ = palette_[index];
        }
    } else if (bits_ == 24 && masks_[0] == 0xFF0000 && masks_[1] == 0xFF00 && masks_[2] == 0xFF) {
        for (int x = x0; x < x1; ++x, bytes += 3)
            *out++ = qRgb(bytes[2], bytes[1], bytes[0]);
    } else {
        const Channel r(masks_[0]), g(masks_[1]), b(masks_[2]);
        const int n = bits_ / 8;
        for (int x = x0; x < x1; ++x, bytes += n) {
            std::uint32_t v = bytes[0] | static_cast<std::uint32_t>(bytes[1]) << 8;
            if (n >= 3)
                v |= static_cast<std::uint32_t>(bytes[2]) << 16;
            if (n == 4)
                v |= static_cast<std::uint32_t>(bytes[3]) << 24;
            *out++ = qRgb(r(v), g(v), b(v));
        }
    }
}

QImage BmpRows::allocateWhole() const {
    Header h;
    h.width = width_;
    h.height = height_;
    if (bits_ <= 8) {
        QImage img = allocate(h, QImage::Format_Indexed8, 8);
        img.setColorTable(palette_);
        return img;
    }
    if (bits_ == 24 && !fields_)
        return allocate(h, QImage::Format_BGR888, 24);
    return allocate(h, QImage::Format_RGB32, 32);
}

namespace {
// Reads `length` bytes at `offset` that the file must hold.
void readAll(int fd, std::uint64_t offset, std::uint8_t* to, std::size_t length) {
    if (readFileAt(fd, offset, to, length) < length)
        invalid(); // the file was cut short since it was opened
}
} // namespace

void BmpRows::readWholeRows(int fd, QImage& whole, int first, int end) const {
    const bool asStored = whole.format() == QImage::Format_BGR888 || (bits_ == 8 && whole.depth() == 8);
    const std::size_t rowBytes = (static_cast<std::size_t>(width_) * bits_ + 7) / 8;
    std::vector<std::uint8_t> buffer(asStored ? 0 : rowBytes);
    std::vector<QRgb> colours(bits_ < 8 ? static_cast<std::size_t>(width_) : 0);
    for (int y = first; y < end; ++y) {
        uchar* line = whole.scanLine(y);
        if (asStored) {
            readAll(fd, rowOffset(y), line, rowBytes);
            continue;
        }
        readAll(fd, rowOffset(y), buffer.data(), rowBytes);
        if (bits_ < 8) {
            // The colour indexes themselves, one byte each.
            const int mask = (1 << bits_) - 1;
            for (int x = 0; x < width_; ++x) {
                const std::int64_t bit = static_cast<std::int64_t>(x) * bits_;
                line[x] = static_cast<uchar>(
                    (buffer[static_cast<std::size_t>(bit / 8)] >> (8 - bits_ - bit % 8)) & mask);
            }
        } else {
            convert(buffer.data(), 0, width_, reinterpret_cast<QRgb*>(line));
        }
    }
}

void BmpRows::readRegion(int fd, const QRect& r, QImage& out) const {
    const auto firstByte = static_cast<std::uint64_t>(r.left()) * bits_ / 8;
    const auto endByte = (static_cast<std::uint64_t>(r.right() + 1) * bits_ + 7) / 8;
    const auto span = static_cast<std::size_t>(endByte - firstByte);
    // Rows whose most is wanted are read together, as the file holds them; of a narrow
    // rectangle each row's part alone.
    const bool together = span * 2 >= stride_;
    const int perRead = together ? std::max<int>(1, static_cast<int>(kReadPiece / stride_)) : 1;
    std::vector<std::uint8_t> buffer(together ? stride_ * static_cast<std::size_t>(perRead) : span);
    for (int y = r.top(); y <= r.bottom();) {
        const int n = std::min(perRead, r.bottom() + 1 - y);
        if (!together) {
            readAll(fd, rowOffset(y) + firstByte, buffer.data(), span);
            convert(buffer.data(), r.left(), r.right() + 1,
                    reinterpret_cast<QRgb*>(out.scanLine(y - r.top())));
            ++y;
            continue;
        }
        // Rows [y, y + n) lie in the file one after the other, in reading order or its reverse.
        const int lowest = topDown_ ? y : y + n - 1;
        const std::size_t length = stride_ * static_cast<std::size_t>(n - 1) + span;
        readAll(fd, rowOffset(lowest) + firstByte, buffer.data(), length);
        for (int i = 0; i < n; ++i) {
            const int inFile = topDown_ ? i : n - 1 - i;
            convert(buffer.data() + stride_ * static_cast<std::size_t>(inFile), r.left(), r.right() + 1,
                    reinterpret_cast<QRgb*>(out.scanLine(y + i - r.top())));
        }
        y += n;
    }
}

void BmpRows::readSampledRow(int fd, int y, double first, double step, int count, QRgb* out,
                             std::vector<std::uint8_t>& buffer) const {
    if (count <= 0)
        return;
    readSampledBytes(fd, y, first, step, count, buffer);
    samplesFromBytes(buffer.data(), first, step, count, out);
}

void BmpRows::readSampledBytes(int fd, int y, double first, double step, int count,
                               std::vector<std::uint8_t>& buffer) const {
    if (count <= 0)
        return;
    const int x0 = std::clamp(static_cast<int>(first), 0, width_ - 1);
    const int x1 = std::clamp(static_cast<int>(first + step * (count - 1)), x0, width_ - 1) + 1;
    const auto firstByte = static_cast<std::uint64_t>(x0) * bits_ / 8;
    const auto endByte = (static_cast<std::uint64_t>(x1) * bits_ + 7) / 8;
    buffer.resize(static_cast<std::size_t>(endByte - firstByte)); // cleared only where it grows
    readAll(fd, rowOffset(y) + firstByte, buffer.data(), buffer.size());
}

void BmpRows::samplesFromBytes(const std::uint8_t* bytes, double first, double step, int count,
                               QRgb* out) const {
    if (count <= 0)
        return;
    const int x0 = std::clamp(static_cast<int>(first), 0, width_ - 1);
    const int x1 = std::clamp(static_cast<int>(first + step * (count - 1)), x0, width_ - 1) + 1;
    const auto firstByte = static_cast<std::uint64_t>(x0) * bits_ / 8;
    const std::int64_t base = static_cast<std::int64_t>(firstByte) * 8;
    if (bits_ == 24 && masks_[0] == 0xFF0000 && masks_[1] == 0xFF00 && masks_[2] == 0xFF) {
        for (int i = 0; i < count; ++i) { // blue, green, red
            const int x = std::clamp(static_cast<int>(first + step * i), x0, x1 - 1);
            const std::uint8_t* p = bytes + static_cast<std::size_t>(x - x0) * 3;
            out[i] = qRgb(p[2], p[1], p[0]);
        }
        return;
    }
    for (int i = 0; i < count; ++i) {
        const int x = std::clamp(static_cast<int>(first + step * i), x0, x1 - 1);
        const std::int64_t at = static_cast<std::int64_t>(x) * bits_ - base;
        // The byte that holds the pixel, as the start of a one-pixel row from column x.
        convert(bytes + at / 8, x, x + 1, out + i);
    }
}

void addBgrRow(const std::uint8_t* row, int width, int k, std::uint32_t* sums) {
    const int block = 1 << k, whole = width >> k << k;
    std::uint32_t* s = sums;
    for (int x = 0; x < whole; x += block, s += 3) {
        std::uint32_t r = 0, g = 0, b = 0;
        for (int j = 0; j < block; ++j, row += 3)
            b += row[0], g += row[1], r += row[2];
        s[0] += r, s[1] += g, s[2] += b;
    }
    for (int x = whole; x < width; ++x, row += 3)
        s[0] += row[2], s[1] += row[1], s[2] += row[0];
}

void BmpRows::addRows(int fd, int first, int count, int k, std::uint32_t* sums,
                      std::vector<std::uint8_t>& buffer) const {
    // The rows lie one after the other in the file, in reading order or its reverse. They
    // are read a piece at a time (a megabyte, or one row) and summed at once, while the
    // piece is still in the processor's cache: reading them all first and summing after
    // would bring every byte from memory twice.
    const std::size_t rowBytes = (static_cast<std::size_t>(width_) * bits_ + 7) / 8;
    const int piece = static_cast<int>(std::clamp<std::size_t>(kReadPiece / stride_, 1, INT_MAX));
    const bool plain24 = bits_ == 24 && masks_[0] == 0xFF0000 && masks_[1] == 0xFF00 && masks_[2] == 0xFF;
    std::vector<QRgb> line(plain24 ? 0 : static_cast<std::size_t>(width_));
    for (int done = 0; done < count; done += piece) {
        const int n = std::min(piece, count - done);
        const std::size_t length = stride_ * static_cast<std::size_t>(n - 1) + rowBytes;
        buffer.resize(length);
        readAll(fd, rowOffset(topDown_ ? first + done : first + done + n - 1), buffer.data(), length);
        for (int i = 0; i < n; ++i) {
            const std::uint8_t* row = buffer.data() + stride_ * static_cast<std::size_t>(i);
            if (plain24) {
                addBgrRow(row, width_, k, sums);
                continue;
            }
            convert(row, 0, width_, line.data());
            for (int x = 0; x < width_; ++x) {
                std::uint32_t* s = sums + static_cast<std::size_t>(x >> k) * 3;
                const QRgb p = line[static_cast<std::size_t>(x)];
                s[0] += qRed(p), s[1] += qGreen(p), s[2] += qBlue(p);
            }
        }
    }
}

QImage decodeBmp(const std::uint8_t* data, std::size_t size) {
    const Bytes b{data, size};
    const Header h = readHeader(b, size);
    QImage img = decodePixels(b, h);
    if (h.profileBytes && h.compression != BI_JPEG && h.compression != BI_PNG &&
        b.has(h.profileAt, h.profileBytes))
        applyProfile(img, b.p + h.profileAt, static_cast<std::size_t>(h.profileBytes));
    return img;
}

} // namespace kv
