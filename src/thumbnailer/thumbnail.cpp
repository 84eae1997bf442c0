#include "thumbnailer/thumbnail.h"

#include "picture/bmp_reader.h"
#include "picture/figure.h"
#include "picture/figure_renderer.h"
#include "picture/picture.h"
#include "picture/picture_error.h"
#include "picture/png_writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <stdio.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace kv {

QSize thumbnailSize(QSize figure, int longest) {
    if (figure.width() <= longest && figure.height() <= longest)
        return figure;
    const auto other = [longest](int side, int longer) {
        return std::max(1, static_cast<int>(std::lround(double(side) * longest / longer)));
    };
    if (figure.width() >= figure.height())
        return QSize(longest, other(figure.height(), figure.width()));
    return QSize(other(figure.width(), figure.height()), longest);
}

namespace {

// The figure halved k times (each pixel the average of a block of 2^k × 2^k figure
// pixels), premultiplied: bands of rows taken in turn by this thread and a second one,
// each band's figure rows taking at most kThumbnailReadBytes (of `rowBytes` a row). The
// reads of one file take turns; the sums are made side by side.
QImage halvedLevel(const Figure& figure, int k, std::size_t rowBytes) {
    const QSize size = figure.size();
    const QSize levelSize(std::max(1, (size.width() + (1 << k) - 1) >> k),
                          std::max(1, (size.height() + (1 << k) - 1) >> k));
    QImage level(levelSize, QImage::Format_ARGB32_Premultiplied);
    if (level.isNull())
        throw PictureError(PictureError::TooLarge);
    uchar* bits = level.bits();
    const std::size_t bpl = static_cast<std::size_t>(level.bytesPerLine());
    const int band = static_cast<int>(std::max<std::size_t>(1, kThumbnailReadBytes / (rowBytes << k)));
    const int bands = (levelSize.height() + band - 1) / band;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (int b = next++; b < bands && !failed.load(); b = next++) {
            const int first = b * band, count = std::min(band, levelSize.height() - first);
            if (!figure.averagedRows(k, first, count, bits + static_cast<std::size_t>(first) * bpl, bpl))
                failed = true;
        }
    };
    std::thread second;
    try {
        if (bands > 1)
            second = std::thread(work);
    } catch (...) {
    }
    work();
    if (second.joinable())
        second.join();
    if (failed.load())
        throw PictureError(PictureError::Invalid); // the file changed or failed meanwhile
    return level;
}

// The PNG with a Software text chunk after its header, naming the maker of the thumbnail
// (a file manager shows it among the thumbnail's details).
QByteArray withSoftware(const QByteArray& png) {
    constexpr int kAfterHeader = 8 + 25; // signature, IHDR chunk
    if (png.size() < kAfterHeader)
        return png;
    const QByteArray body = QByteArrayLiteral("tEXtSoftware") + '\0' + QByteArrayLiteral("Kelvaria 500");
    QByteArray chunk;
    const auto put32 = [&chunk](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            chunk.append(static_cast<char>((v >> shift) & 0xFF));
    };
    put32(static_cast<std::uint32_t>(body.size() - 4));
    chunk += body;
    put32(static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.constData()), static_cast<uInt>(body.size()))));
    return png.left(kAfterHeader) + chunk + png.mid(kAfterHeader);
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* p = bytes.constData();
    std::size_t left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

QImage thumbnailOf(int fd, const QByteArray& path, const struct stat& st, int longest) {
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    const auto refuseLarge = [](QSize s) {
        if (s.width() > kThumbnailMaxSide || s.height() > kThumbnailMaxSide)
            throw PictureError(PictureError::TooLarge);
    };
    std::shared_ptr<Figure> figure;
    bool opaque = true;
    if (std::optional<BmpRows> rows = BmpRows::open(fd, fileSize)) {
        refuseLarge(QSize(rows->width(), rows->height()));
        figure = Figure::fromRows(fd, path, *std::move(rows), FileState::of(st), false);
    } else {
        QImage whole = readBmpFile(fd, fileSize);
        refuseLarge(whole.size());
        opaque = !whole.hasAlphaChannel();
        figure = Figure::fromImage(std::move(whole));
    }
    const QSize size = figure->size();
    const QSize to = thumbnailSize(size, longest);
    // Figure pixels a thumbnail pixel stands for; the halvings that fit within it.
    const double f = std::max(double(size.width()) / to.width(), double(size.height()) / to.height());
    const std::size_t rowBytes = static_cast<std::size_t>(size.width()) * 4;
    int k = 0;
    while (k < 8 && double(2 << k) <= f && (rowBytes << (k + 1)) <= kThumbnailReadBytes)
        ++k;
    const QImage level = halvedLevel(*figure, k, rowBytes);
    const QImage shrunk = shrinkByArea(level, 0, 0, f / (1 << k), to);
    if (shrunk.isNull())
        throw PictureError(PictureError::TooLarge);
    return shrunk.convertToFormat(opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32);
}

bool writeThumbnail(const QByteArray& input, const QByteArray& output, int longest, QByteArray& error) {
    // Never waits for a writer (a FIFO) or takes a terminal; only a regular file is read.
    const int fd = ::open(input.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = QByteArray("no se pudo abrir: ") + std::strerror(errno);
        return false;
    }
    QImage thumbnail;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "no es un archivo regular";
    } else {
        try {
            thumbnail = thumbnailOf(fd, input, st, longest);
        } catch (const PictureError& e) {
            error = e.kind() == PictureError::TooLarge ? QByteArray("figura demasiado grande")
                    : e.kind() == PictureError::ReadFailed
                        ? QByteArray("no se pudo leer: ") + std::strerror(e.error())
                        : QByteArray("no es una figura que se pueda mostrar");
        } catch (const std::bad_alloc&) {
            error = "figura demasiado grande";
        }
    }
    ::close(fd);
    if (thumbnail.isNull())
        return false;
    const std::atomic<bool> never{false};
    const QByteArray png = withSoftware(encodePng(thumbnail, never, 1));
    // A new file beside the output, renamed over it once whole: whoever waits for the
    // output never reads a part of it.
    QByteArray temporary = output + ".XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) {
        error = QByteArray("no se pudo escribir: ") + std::strerror(errno);
        return false;
    }
    bool written = !png.isEmpty() && writeAll(out, png);
    written = ::close(out) == 0 && written;
    if (!written || ::rename(temporary.constData(), output.constData()) != 0) {
        error = QByteArray("no se pudo escribir: ") + std::strerror(errno);
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

} // namespace kv
