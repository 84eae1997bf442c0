#include "platform/world/picture_file.h"

#include "picture/bmp_reader.h"
#include "picture/figure.h"
#include "platform/world/filesystem.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

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

} // namespace

RuntimeError runtimeErrorFor(const PictureError& error, const QString& fileName) {
    switch (error.kind()) {
    case PictureError::Invalid:
        return RuntimeError(ErrorCode::InvalidPicture, fileName);
    case PictureError::TooLarge:
        return RuntimeError(ErrorCode::OutOfMemory, fileName);
    case PictureError::ReadFailed:
        return RuntimeError(errorForErrno(error.error()), fileName);
    case PictureError::Missing:
        return RuntimeError(ErrorCode::FileNotFound, fileName);
    }
    return RuntimeError(ErrorCode::InvalidPicture, fileName);
}

Picture loadPictureFile(const QString& fileName, const QList<Picture>& decoded) {
    if (fileName.isEmpty())
        return {};
    return loadPictureFile(nativePath(fileName), fileName, decoded);
}

Picture loadPictureFile(const QByteArray& path, const QString& fileName, const QList<Picture>& decoded) {
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
    const FileState opened = FileState::of(st);
    for (const Picture& picture : decoded)
        if (picture.source() == opened)
            return picture;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    try {
        Picture picture;
        std::uint8_t start[2] = {0, 0};
        const std::size_t got = readFileAt(file.fd, 0, start, sizeof start);
        if (got == 2 && start[0] == 'B' && start[1] == 'M') {
            // A bitmap of plain rows is read as it is shown: its corner now, the rest as
            // it is asked for. Any other is decoded whole.
            if (std::optional<BmpRows> rows = BmpRows::open(file.fd, size)) {
                picture = Picture::fromFigure(Figure::fromRows(file.fd, path, *std::move(rows), opened));
                if (::fstat(file.fd, &st) != 0 || !(FileState::of(st) == opened))
                    throw PictureError(PictureError::Invalid); // changed while it was opened
                picture.setSource(opened);
                return picture;
            }
            picture = Picture::fromImage(readBmpFile(file.fd, size));
        } else {
            // Any other format is decoded by Qt from the whole file in memory.
            if (size > pictureMemoryLimit())
                throw PictureError(PictureError::TooLarge);
            QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
            bytes.truncate(static_cast<qsizetype>(readFileAt(file.fd, 0, bytes.data(), size)));
            picture = decodePicture(bytes);
        }
        // The file it came from, when it did not change while it was read.
        if (::fstat(file.fd, &st) == 0 && FileState::of(st) == opened)
            picture.setSource(opened);
        return picture;
    } catch (const PictureError& e) {
        throw runtimeErrorFor(e, fileName);
    } catch (const std::bad_alloc&) {
        throw RuntimeError(ErrorCode::OutOfMemory, fileName);
    }
}

Picture loadBuiltInPicture(const QString& resourcePath) {
    try {
        return loadPictureResource(resourcePath);
    } catch (const PictureError& e) {
        throw runtimeErrorFor(e, resourcePath);
    }
}

} // namespace kv
