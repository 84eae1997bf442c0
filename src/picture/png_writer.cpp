#include "picture/png_writer.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageWriter>
#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <png.h>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>
#include <zlib.h>

namespace kv {

namespace {

// How the rows of a picture become PNG rows.
enum class Layout { Rgb, Bgr, Xrgb32, Argb32, Bytes };

struct Plan {
    Layout layout = Layout::Bytes;
    int colourType = PNG_COLOR_TYPE_RGB;
    int bytesPerPixel = 3; // in the PNG row
};

std::optional<Plan> planFor(const QImage& image) {
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb))
        return std::nullopt; // Qt's writer carries the profile along
    switch (image.format()) {
    case QImage::Format_RGB888:
        return Plan{Layout::Rgb, PNG_COLOR_TYPE_RGB, 3};
    case QImage::Format_BGR888:
        return Plan{Layout::Bgr, PNG_COLOR_TYPE_RGB, 3};
    case QImage::Format_RGB32:
        return Plan{Layout::Xrgb32, PNG_COLOR_TYPE_RGB, 3};
    case QImage::Format_ARGB32:
        return Plan{Layout::Argb32, PNG_COLOR_TYPE_RGB_ALPHA, 4};
    case QImage::Format_Indexed8:
        return Plan{Layout::Bytes, PNG_COLOR_TYPE_PALETTE, 1};
    case QImage::Format_Grayscale8:
        return Plan{Layout::Bytes, PNG_COLOR_TYPE_GRAY, 1};
    default:
        return std::nullopt;
    }
}

// One row of the picture as a filtered PNG row: the filter's byte (1, Sub), then each
// byte less the byte one pixel to its left.
void filterRow(const Plan& plan, const uchar* in, int width, std::uint8_t* out) {
    *out++ = 1;
    const int n = plan.bytesPerPixel;
    switch (plan.layout) {
    case Layout::Rgb:
    case Layout::Bytes: {
        const std::size_t bytes = std::size_t(width) * std::size_t(n);
        for (std::size_t i = 0; i < std::size_t(n) && i < bytes; ++i)
            out[i] = in[i];
        for (std::size_t i = std::size_t(n); i < bytes; ++i)
            out[i] = std::uint8_t(in[i] - in[i - std::size_t(n)]);
        return;
    }
    case Layout::Bgr: {
        std::uint8_t r0 = 0, g0 = 0, b0 = 0;
        for (int x = 0; x < width; ++x, in += 3, out += 3) {
            const std::uint8_t b = in[0], g = in[1], r = in[2];
            out[0] = std::uint8_t(r - r0);
            out[1] = std::uint8_t(g - g0);
            out[2] = std::uint8_t(b - b0);
            r0 = r, g0 = g, b0 = b;
        }
        return;
    }
    case Layout::Xrgb32: {
        const auto* px = reinterpret_cast<const QRgb*>(in);
        std::uint8_t r0 = 0, g0 = 0, b0 = 0;
        for (int x = 0; x < width; ++x, out += 3) {
            const std::uint8_t r = std::uint8_t(qRed(px[x])), g = std::uint8_t(qGreen(px[x])),
                               b = std::uint8_t(qBlue(px[x]));
            out[0] = std::uint8_t(r - r0);
            out[1] = std::uint8_t(g - g0);
            out[2] = std::uint8_t(b - b0);
            r0 = r, g0 = g, b0 = b;
        }
        return;
    }
    case Layout::Argb32: {
        const auto* px = reinterpret_cast<const QRgb*>(in);
        std::uint8_t r0 = 0, g0 = 0, b0 = 0, a0 = 0;
        for (int x = 0; x < width; ++x, out += 4) {
            const std::uint8_t r = std::uint8_t(qRed(px[x])), g = std::uint8_t(qGreen(px[x])),
                               b = std::uint8_t(qBlue(px[x])), a = std::uint8_t(qAlpha(px[x]));
            out[0] = std::uint8_t(r - r0);
            out[1] = std::uint8_t(g - g0);
            out[2] = std::uint8_t(b - b0);
            out[3] = std::uint8_t(a - a0);
            r0 = r, g0 = g, b0 = b, a0 = a;
        }
        return;
    }
    }
}

void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

// One IDAT chunk in a mapping of its own, returned to the system as soon as it was
// copied: length, type, data, CRC.
class Chunk {
public:
    static constexpr std::size_t kSize = std::size_t(4) << 20;
    static constexpr std::size_t kRoom = kSize - 12;

    Chunk() {
        void* p = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        bytes_ = static_cast<std::uint8_t*>(p);
        std::memcpy(bytes_ + 4, "IDAT", 4);
    }
    Chunk(Chunk&& o) noexcept : bytes_(std::exchange(o.bytes_, nullptr)), used_(o.used_) {}
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() { release(); }

    std::uint8_t* data() { return bytes_ + 8; }
    void close(std::size_t used) {
        used_ = used;
        put32(bytes_, std::uint32_t(used));
        put32(bytes_ + 8 + used, std::uint32_t(crc32(0, bytes_ + 4, uInt(used + 4))));
    }
    std::size_t size() const { return used_ + 12; }
    const std::uint8_t* bytes() const { return bytes_; }
    void release() {
        if (bytes_)
            ::munmap(bytes_, kSize);
        bytes_ = nullptr;
    }

private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t used_ = 0;
};

struct Band {
    int first = 0, end = 0;
    std::vector<Chunk> chunks;
    uLong adler = 1;
    uLong rawBytes = 0;
    bool failed = false;
};

// Deflates one band of rows into its chunks. The first band starts the zlib stream
// (its two-byte header); the last one ends the deflate data.
void deflateBand(const QImage& image, const Plan& plan, Band& band, bool first, bool last,
                 const std::atomic<bool>& cancelled) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) {
        band.failed = true;
        return;
    }
    struct End {
        z_stream& z;
        ~End() { deflateEnd(&z); }
    } end{z};
    const std::size_t rowBytes = 1 + std::size_t(image.width()) * std::size_t(plan.bytesPerPixel);
    std::vector<std::uint8_t> row(rowBytes);
    auto newChunk = [&] {
        if (!band.chunks.empty())
            band.chunks.back().close(Chunk::kRoom - z.avail_out);
        band.chunks.emplace_back();
        z.next_out = band.chunks.back().data();
        z.avail_out = uInt(Chunk::kRoom);
    };
    newChunk();
    if (first) {
        // The zlib header: deflate with a 32 KiB window, the fastest level (a matter of
        // information only: the reader needs no more than the window).
        z.next_out[0] = 0x78;
        z.next_out[1] = 0x01;
        z.next_out += 2;
        z.avail_out -= 2;
    }
    for (int y = band.first; y < band.end; ++y) {
        if (cancelled.load(std::memory_order_relaxed))
            return;
        filterRow(plan, image.constScanLine(y), image.width(), row.data());
        band.adler = adler32(band.adler, row.data(), uInt(rowBytes));
        z.next_in = row.data();
        z.avail_in = uInt(rowBytes);
        while (z.avail_in > 0) {
            if (z.avail_out == 0)
                newChunk();
            deflate(&z, Z_NO_FLUSH);
        }
    }
    band.rawBytes = uLong(rowBytes) * uLong(band.end - band.first);
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        if (z.avail_out == 0)
            newChunk();
        const int status = deflate(&z, flush);
        if (status == Z_STREAM_END || (flush == Z_SYNC_FLUSH && z.avail_out > 0))
            break;
        if (status != Z_OK && status != Z_BUF_ERROR) {
            band.failed = true;
            return;
        }
    }
    band.chunks.back().close(Chunk::kRoom - z.avail_out);
}

// The signature and the header chunks, written by libpng.
void writeSink(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<QByteArray*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), qsizetype(length));
}
void flushSink(png_structp) {}

bool writeHeader(const QImage& image, const Plan& plan, QByteArray& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    // (what is set up below holds no C++ object: libpng's errors jump back here)
    png_color palette[256];
    png_byte alpha[256];
    int alphas = 0;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_write_fn(png, &out, writeSink, flushSink);
    png_set_IHDR(png, info, png_uint_32(image.width()), png_uint_32(image.height()), 8, plan.colourType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (plan.colourType == PNG_COLOR_TYPE_PALETTE) {
        // All 256 entries, so that no index can point past the palette.
        const QList<QRgb> table = image.colorTable();
        for (int i = 0; i < 256; ++i) {
            const QRgb c = i < table.size() ? table[i] : qRgb(0, 0, 0);
            palette[i] = png_color{png_byte(qRed(c)), png_byte(qGreen(c)), png_byte(qBlue(c))};
            alpha[i] = png_byte(i < table.size() ? qAlpha(c) : 255);
            if (alpha[i] != 255)
                alphas = i + 1;
        }
        png_set_PLTE(png, info, palette, 256);
        if (alphas > 0)
            png_set_tRNS(png, info, alpha, alphas, nullptr);
    }
    // The resolution Qt's writer would state.
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0)
        png_set_pHYs(png, info, png_uint_32(image.dotsPerMeterX()), png_uint_32(image.dotsPerMeterY()),
                     PNG_RESOLUTION_METER);
    png_write_info(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

QByteArray encodeWithQt(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    return writer.write(image) ? bytes : QByteArray();
}

} // namespace

QByteArray encodePng(const QImage& image, const std::atomic<bool>& cancelled, int threads) {
    if (image.isNull())
        return {};
    const std::optional<Plan> plan = planFor(image);
    if (!plan)
        return encodeWithQt(image);
    if (threads <= 0)
        threads = int(std::max(1u, std::thread::hardware_concurrency()));

    // Bands of about 2 MB of rows at least, a few for each thread, so that a thread
    // slowed by other work on the machine leaves its share to the others.
    const std::size_t rowBytes = 1 + std::size_t(image.width()) * std::size_t(plan->bytesPerPixel);
    const std::size_t total = rowBytes * std::size_t(image.height());
    const int height = image.height();
    const int bandCount =
        int(std::clamp<std::size_t>(total / (std::size_t(2) << 20), 1, std::size_t(threads) * 4));
    const int count = std::min(bandCount, height);
    std::vector<Band> bands(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        bands[std::size_t(i)].first = int(std::int64_t(height) * i / count);
        bands[std::size_t(i)].end = int(std::int64_t(height) * (i + 1) / count);
    }
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i = next++; i < count; i = next++) {
            Band& band = bands[std::size_t(i)];
            try {
                deflateBand(image, *plan, band, i == 0, i == count - 1, cancelled);
            } catch (const std::bad_alloc&) {
                band.chunks.clear();
                band.failed = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < std::min(threads, count); ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // the threads there are do all bands
        }
    }
    work();
    for (std::thread& t : helpers)
        t.join();
    if (cancelled.load())
        return {};
    if (std::any_of(bands.begin(), bands.end(), [](const Band& b) { return b.failed; }))
        return encodeWithQt(image);

    QByteArray header;
    if (!writeHeader(image, *plan, header))
        return encodeWithQt(image);
    uLong adler = bands.front().adler;
    std::size_t size = std::size_t(header.size()) + 16 + 12;
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (i > 0)
            adler = adler32_combine(adler, bands[i].adler, z_off_t(bands[i].rawBytes));
        for (const Chunk& c : bands[i].chunks)
            size += c.size();
    }
    QByteArray png;
    try {
        png = QByteArray(qsizetype(size), Qt::Uninitialized);
    } catch (const std::bad_alloc&) {
        return {};
    }
    auto* out = reinterpret_cast<std::uint8_t*>(png.data());
    std::memcpy(out, header.constData(), std::size_t(header.size()));
    out += header.size();
    for (Band& band : bands) {
        for (Chunk& c : band.chunks) {
            std::memcpy(out, c.bytes(), c.size());
            out += c.size();
            c.release();
        }
    }
    // The zlib stream's checksum in a chunk of its own, and the end.
    std::uint8_t tail[16 + 12] = {0, 0, 0, 4, 'I', 'D', 'A', 'T'};
    put32(tail + 8, std::uint32_t(adler));
    put32(tail + 12, std::uint32_t(crc32(0, tail + 4, 8)));
    const std::uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    std::memcpy(tail + 16, iend, sizeof iend);
    std::memcpy(out, tail, sizeof tail);
    return png;
}

} // namespace kv
