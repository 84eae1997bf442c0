#include "platform/picture.h"

#include "platform/bmp_reader.h"
#include "platform/filesystem.h"
#include "platform/runtime_error.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
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

// The run-time error for a picture file that could not be looked at or opened.
ErrorCode openError(const QByteArray& path, int err) {
    switch (err) {
    case EACCES:
    case EPERM:
        return ErrorCode::PermissionDenied;
    case ENOENT: {
        // A missing file in a folder that is there is a file error; a missing folder on
        // the way a path error.
        const qsizetype slash = path.lastIndexOf('/');
        const QByteArray folder = slash > 0    ? path.left(slash)
                                  : slash == 0 ? QByteArray("/")
                                               : QByteArray(".");
        struct stat st;
        return ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode) ? ErrorCode::FileNotFound
                                                                           : ErrorCode::PathNotFound;
    }
    case ENOTDIR:
        return ErrorCode::PathNotFound;
    default:
        break;
    }
    // A socket (or a device without its driver) refuses to be opened: it is there, but it
    // is no file to read.
    struct stat st;
    if (::stat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return ErrorCode::PathFileAccess;
    return errorForErrno(err);
}

struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

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
    return loadPictureFile(nativePath(fileName), fileName);
}

Picture loadPictureFile(const QByteArray& path, const QString& fileName) {
    // Only a regular file is read: FIFOs, sockets, devices and folders are no pictures,
    // and some of them never end. They are not even opened (opening a device can do
    // things of its own; opening a FIFO lets a writer that waits go on). The file is
    // opened without waiting, and looked at again once open, in case it was replaced.
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        throw RuntimeError(openError(path, errno), fileName);
    if (!S_ISREG(st.st_mode))
        throw RuntimeError(ErrorCode::PathFileAccess, fileName);
    const FileDescriptor file{::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0)
        throw RuntimeError(openError(path, errno), fileName);
    if (::fstat(file.fd, &st) != 0)
        throw RuntimeError(errorForErrno(errno), fileName);
    if (!S_ISREG(st.st_mode))
        throw RuntimeError(ErrorCode::PathFileAccess, fileName);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    try {
        std::uint8_t start[2] = {0, 0};
        const std::size_t got = readFileAt(file.fd, 0, start, sizeof start);
        if (got == 2 && start[0] == 'B' && start[1] == 'M')
            return Picture::fromImage(readBmpFile(file.fd, size));
        // Any other format is decoded by Qt from the whole file in memory.
        if (size > pictureMemoryLimit())
            throw RuntimeError(ErrorCode::OutOfMemory);
        QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
        bytes.truncate(static_cast<qsizetype>(readFileAt(file.fd, 0, bytes.data(), size)));
        return decodePicture(bytes, fileName);
    } catch (const RuntimeError& e) {
        throw RuntimeError(e.code(), fileName);
    } catch (const std::bad_alloc&) {
        throw RuntimeError(ErrorCode::OutOfMemory, fileName);
    }
}

Picture loadPictureResource(const QString& resourcePath) {
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly))
        throw RuntimeError(ErrorCode::FileNotFound, resourcePath);
    return decodePicture(file.readAll(), resourcePath);
}

} // namespace kv
