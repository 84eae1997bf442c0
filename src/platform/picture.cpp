#include "platform/picture.h"

#include "platform/bmp_reader.h"
#include "platform/runtime_error.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <new>

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

QIcon Picture::toIcon() const {
    QIcon icon;
    for (const QImage& img : images_)
        icon.addPixmap(QPixmap::fromImage(img));
    return icon;
}

namespace {

bool looksLikeIcon(const QByteArray& bytes) {
    // An icon file starts with a reserved zero word and type 1.
    return bytes.size() >= 6 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1 && bytes[3] == 0;
}

QList<QImage> readAllImages(QImageReader& reader) {
    QList<QImage> images;
    const int count = std::max(1, reader.imageCount());
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        QImage img = reader.read();
        if (img.isNull())
            break;
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

Picture decodePicture(const QByteArray& bytes, const QString& nameForMessages) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    if (looksLikeBmp(raw, static_cast<std::size_t>(bytes.size()))) {
        try {
            return Picture::fromImage(decodeBmp(raw, static_cast<std::size_t>(bytes.size())));
        } catch (const RuntimeError& e) {
            throw RuntimeError(e.code(), nameForMessages);
        }
    }
    QByteArray data = bytes; // shared, not copied
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    const bool icon = looksLikeIcon(bytes);
    QImageReader reader(&buffer, icon ? QByteArray("ico") : QByteArray());
    reader.setDecideFormatFromContent(!icon);
    if (icon) {
        QList<QImage> images = readAllImages(reader);
        if (images.isEmpty())
            throw RuntimeError(ErrorCode::InvalidPicture, nameForMessages);
        return Picture::fromIconImages(std::move(images));
    }
    allowLargestPicture();
    const QSize declared = reader.size();
    try {
        if (declared.isValid())
            checkPictureSize(declared.width(), declared.height(), 32);
    } catch (const RuntimeError& e) {
        throw RuntimeError(e.code(), nameForMessages);
    }
    QImage image = reader.read();
    if (image.isNull())
        throw RuntimeError(ErrorCode::InvalidPicture, nameForMessages);
    return Picture::fromImage(std::move(image));
}

Picture loadPictureFile(const QString& fileName) {
    if (fileName.isEmpty())
        return {};
    const QFileInfo info(fileName);
    if (!info.exists()) {
        // A missing folder on the way to the file is a path error, a missing file a file error.
        throw RuntimeError(info.dir().exists() ? ErrorCode::FileNotFound : ErrorCode::PathNotFound, fileName);
    }
    if (info.isDir())
        throw RuntimeError(ErrorCode::PathFileAccess, fileName);
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(file.error() == QFileDevice::PermissionsError ? ErrorCode::PermissionDenied
                                                                         : ErrorCode::PathFileAccess,
                           fileName);
    }
    // Decoded straight from the file's pages where the system can map it: the pixels are
    // copied once, into the picture.
    const qint64 size = file.size();
    if (size > 0) {
        if (uchar* mapped = file.map(0, size)) {
            struct Unmap {
                QFile& f;
                uchar* p;
                ~Unmap() { f.unmap(p); }
            } unmap{file, mapped};
            return decodePicture(QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), size),
                                 fileName);
        }
    }
    QByteArray bytes;
    try {
        bytes = file.readAll();
    } catch (const std::bad_alloc&) {
        throw RuntimeError(ErrorCode::OutOfMemory, fileName);
    }
    if (file.error() != QFileDevice::NoError)
        throw RuntimeError(ErrorCode::DeviceUnavailable, fileName);
    return decodePicture(bytes, fileName);
}

Picture loadPictureResource(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(ErrorCode::FileNotFound, resourcePath);
    return decodePicture(file.readAll(), resourcePath);
}

} // namespace kv
