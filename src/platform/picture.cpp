#include "platform/picture.h"

#include "platform/bmp_reader.h"
#include "platform/filesystem.h"
#include "platform/runtime_error.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

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
    QImage image = reader.read();
    if (image.isNull()) {
        if (reader.error() == QImageReader::InvalidDataError && reader.size().isValid() &&
            static_cast<qint64>(reader.size().width()) * reader.size().height() > (1LL << 28))
            throw RuntimeError(ErrorCode::OutOfMemory, nameForMessages);
        throw RuntimeError(ErrorCode::InvalidPicture, nameForMessages);
    }
    return Picture::fromImage(std::move(image));
}

Picture loadPictureFile(const QString& fileName) {
    if (fileName.isEmpty())
        return {};
    // Opened by the bytes the system knows the file by, which a name that is not UTF-8
    // does not show.
    const QByteArray native = nativePath(fileName);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        if (errno == EACCES) // a folder on the way that may not be entered
            throw RuntimeError(ErrorCode::PermissionDenied, fileName);
        // A missing folder on the way to the file is a path error, a missing file a file error.
        const QByteArray folder = native.left(std::max<qsizetype>(1, native.lastIndexOf('/')));
        struct stat dir {};
        throw RuntimeError(::stat(folder.constData(), &dir) == 0 ? ErrorCode::FileNotFound
                                                                 : ErrorCode::PathNotFound,
                           fileName);
    }
    if (S_ISDIR(st.st_mode))
        throw RuntimeError(ErrorCode::PathFileAccess, fileName);
    QFile file;
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw RuntimeError(errno == EACCES ? ErrorCode::PermissionDenied : ErrorCode::PathFileAccess,
                           fileName);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw RuntimeError(ErrorCode::PathFileAccess, fileName);
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
