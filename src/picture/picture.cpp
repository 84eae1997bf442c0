#include "picture/picture.h"

#include "picture/bmp_reader.h"
#include "picture/figure.h"
#include "picture/picture_error.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <optional>

namespace kv {

Picture Picture::fromImage(QImage image) {
    Picture p;
    if (!image.isNull())
        p.images_.append(std::move(image));
    return p;
}

Picture Picture::fromIconImages(QList<QImage> images) {
    Picture p;
    p.images_ = std::move(images);
    p.icon_ = true;
    return p;
}

Picture Picture::fromFigure(std::shared_ptr<Figure> figure) {
    Picture p;
    p.figure_ = std::move(figure);
    return p;
}

QImage Picture::image() const {
    if (figure_)
        return figure_->whole();
    return images_.isEmpty() ? QImage() : images_.front();
}

QSize Picture::size() const {
    if (figure_)
        return figure_->size();
    return images_.isEmpty() ? QSize() : images_.front().size();
}

QImage Picture::corner(QSize most) const {
    const QRect part(QPoint(0, 0), size().boundedTo(most));
    if (figure_) {
        const QImage corner = figure_->corner();
        if (QRect(QPoint(0, 0), corner.size()).contains(part))
            return corner.copy(part);
        try {
            return figure_->whole().copy(part);
        } catch (const PictureError&) {
            return corner.copy(part); // what was read of it
        }
    }
    return image().copy(part);
}

std::shared_ptr<Figure> Picture::figure() const {
    if (figure_)
        return figure_;
    if (isNull())
        return nullptr;
    return Figure::fromImage(image());
}

QIcon Picture::toIcon() const {
    QIcon icon;
    for (const QImage& img : images_)
        icon.addPixmap(QPixmap::fromImage(img));
    return icon;
}

namespace {

// An icon holds a few small images; a file that claims thousands of big ones gives those
// that fit in this many pixels, the first always.
constexpr std::int64_t kMaxIconPixels = std::int64_t(1) << 24;

bool looksLikeIcon(const QByteArray& bytes) {
    // An icon file starts with a reserved zero word and type 1.
    return bytes.size() >= 6 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1 && bytes[3] == 0;
}

std::uint32_t le32(const QByteArray& b, qsizetype at) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.constData()) + at;
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const QByteArray& b, qsizetype at) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.constData()) + at;
    return std::uint16_t(p[0] | p[1] << 8);
}

// One image of an icon file: a device-independent bitmap twice as high as the image, its
// colours and then its transparency mask (one bit a pixel, set where the image is
// transparent). Colours of 32 bits carry their own alpha, unless it is zero everywhere.
// No value: the image is one this reader leaves to Qt's (a PNG image, a compressed
// bitmap, a size out of the ordinary, anything malformed).
std::optional<QImage> decodeIconImage(const QByteArray& file, qsizetype at, qsizetype length,
                                      std::int64_t& pixelsLeft) {
    constexpr std::int64_t kLargestSide = 1024;
    const std::int64_t available = std::min<std::int64_t>(length, file.size() - at);
    if (at < 0 || available < 40)
        return std::nullopt;
    const std::uint32_t headerSize = le32(file, at);
    const auto width = std::int64_t(std::int32_t(le32(file, at + 4)));
    const auto doubled = std::int64_t(std::int32_t(le32(file, at + 8)));
    const int bits = le16(file, at + 14);
    const std::uint32_t compression = le32(file, at + 16);
    std::uint32_t colours = le32(file, at + 32);
    if (headerSize < 40 || headerSize > 124 || compression != 0 || width <= 0 || width > kLargestSide ||
        doubled <= 0 || doubled % 2 != 0 || doubled / 2 > kLargestSide)
        return std::nullopt;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return std::nullopt;
    if (bits > 8)
        colours = 0;
    else if (colours == 0 || colours > (1u << bits))
        colours = 1u << bits;
    const std::int64_t height = doubled / 2;
    if (width * height > pixelsLeft)
        return QImage(); // past what one icon may hold
    const std::int64_t colourStride = (width * bits + 31) / 32 * 4;
    const std::int64_t maskStride = (width + 31) / 32 * 4;
    const std::int64_t colourAt = headerSize + std::int64_t(colours) * 4;
    const std::int64_t maskAt = colourAt + colourStride * height;
    if (maskAt + maskStride * height > available)
        return std::nullopt;
    const auto* base = reinterpret_cast<const std::uint8_t*>(file.constData()) + at;

    // The colours, bottom row first, as a bitmap file would hold them.
    QImage img(int(width), int(height), QImage::Format_ARGB32);
    if (img.isNull())
        return std::nullopt;
    pixelsLeft -= width * height;
    bool anyAlpha = false;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = base + colourAt + (height - 1 - y) * colourStride;
        auto* out = reinterpret_cast<QRgb*>(img.scanLine(int(y)));
        for (std::int64_t x = 0; x < width; ++x) {
            if (bits == 32) {
                const std::uint8_t* p = row + x * 4;
                out[x] = qRgba(p[2], p[1], p[0], p[3]);
                anyAlpha = anyAlpha || p[3] != 0;
            } else if (bits == 24) {
                const std::uint8_t* p = row + x * 3;
                out[x] = qRgb(p[2], p[1], p[0]);
            } else {
                const std::int64_t bit = x * bits;
                const int index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
                out[x] = qRgb(0, 0, 0); // an index past the colours given
                if (std::uint32_t(index) < colours) {
                    const std::uint8_t* c = base + headerSize + std::int64_t(index) * 4;
                    out[x] = qRgb(c[2], c[1], c[0]);
                }
            }
        }
    }
    if (anyAlpha)
        return img;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::uint8_t* row = base + maskAt + (height - 1 - y) * maskStride;
        auto* out = reinterpret_cast<QRgb*>(img.scanLine(int(y)));
        for (std::int64_t x = 0; x < width; ++x)
            out[x] = (row[x / 8] >> (7 - x % 8)) & 1 ? out[x] & 0x00FFFFFF : out[x] | 0xFF000000;
    }
    return img;
}

QList<QImage> readAllImages(QImageReader& reader) {
    QList<QImage> images;
    const int count = std::max(1, reader.imageCount());
    std::int64_t pixels = 0;
    for (int i = 0; i < count && pixels < kMaxIconPixels; ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        QImage img = reader.read();
        if (img.isNull())
            break;
        pixels += std::int64_t(img.width()) * img.height();
        images.append(std::move(img));
    }
    return images;
}

// Qt's own readers refuse pictures above their allocation limit: it must take the
// largest picture the program does.
void allowLargestPicture() {
    constexpr int kLargestMb = int(kMaxPicturePixels * 4 >> 20);
    const int limit = QImageReader::allocationLimit();
    if (limit != 0 && limit < kLargestMb)
        QImageReader::setAllocationLimit(kLargestMb);
}

} // namespace

std::optional<QList<QImage>> decodeIconFile(const QByteArray& file) {
    const int count = file.size() >= 6 ? le16(file, 4) : 0;
    if (count == 0 || file.size() < 6 + 16 * qsizetype(count))
        return std::nullopt;
    QList<QImage> images;
    std::int64_t pixelsLeft = kMaxIconPixels;
    for (int i = 0; i < count; ++i) {
        const qsizetype entry = 6 + 16 * qsizetype(i);
        std::optional<QImage> img = decodeIconImage(file, qsizetype(le32(file, entry + 12)),
                                                    qsizetype(le32(file, entry + 8)), pixelsLeft);
        if (!img)
            return std::nullopt;
        if (img->isNull()) // the images read so far are the icon
            return images.isEmpty() ? std::nullopt : std::optional(images);
        images.append(*std::move(img));
    }
    return images;
}

Picture decodePicture(const QByteArray& bytes) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    if (looksLikeBmp(raw, static_cast<std::size_t>(bytes.size())))
        return Picture::fromImage(decodeBmp(raw, static_cast<std::size_t>(bytes.size())));
    const bool icon = looksLikeIcon(bytes);
    if (icon)
        if (std::optional<QList<QImage>> images = decodeIconFile(bytes))
            return Picture::fromIconImages(*std::move(images));
    QByteArray data = bytes; // shared, not copied
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, icon ? QByteArray("ico") : QByteArray());
    reader.setDecideFormatFromContent(!icon);
    if (icon) {
        QList<QImage> images = readAllImages(reader);
        if (images.isEmpty())
            throw PictureError(PictureError::Invalid);
        return Picture::fromIconImages(std::move(images));
    }
    allowLargestPicture();
    const QSize declared = reader.size();
    if (declared.isValid())
        checkPictureSize(declared.width(), declared.height(), 32);
    QImage image = reader.read();
    if (image.isNull())
        throw PictureError(PictureError::Invalid);
    return Picture::fromImage(std::move(image));
}

Picture loadPictureResource(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        throw PictureError(PictureError::Missing);
    return decodePicture(file.readAll());
}

} // namespace kv
