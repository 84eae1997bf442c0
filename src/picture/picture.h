#pragma once
#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <memory>
#include <optional>
#include <sys/stat.h>

// A decoded picture: a bitmap, or an icon with one or more images. Copies share the
// pixels, so handing a picture from one picture box to another takes a reference.
namespace kv {

// What tells one state of a file from another: the same file (device and inode) with
// the same size and the same times of change.
struct FileState {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
    static FileState of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileState& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

class Figure;

class Picture {
public:
    Picture() = default;
    static Picture fromImage(QImage image);
    static Picture fromIconImages(QList<QImage> images);
    // A bitmap whose pixels are read as they are asked for.
    static Picture fromFigure(std::shared_ptr<Figure> figure);

    bool isNull() const { return !figure_ && (images_.isEmpty() || images_.front().isNull()); }
    bool isIcon() const { return icon_; }
    // The image that is shown: the bitmap itself, or an icon's first image. Of a bitmap
    // read as asked for, the whole of it: it may wait for its reading in the background,
    // and raises the run-time error of a reading that fails.
    QImage image() const;
    const QList<QImage>& images() const { return images_; }
    QSize size() const;
    // The top-left part of the image of at most `most` pixels: at once, never waiting,
    // for a part up to the figure's corner.
    QImage corner(QSize most) const;
    // The picture as a figure that shows it at any size (for a bitmap; an icon's first
    // image); none for an empty picture.
    std::shared_ptr<Figure> figure() const;
    // Whether it is a bitmap read as it is asked for, not held whole.
    bool readAsShown() const { return figure_ != nullptr; }
    // All images of an icon, for a window's title bar; a bitmap gives a one-image icon.
    QIcon toIcon() const;
    // The full path of the file the picture was read from; empty for the program's own.
    const QString& fileName() const { return fileName_; }
    // The same path as the system knows it (its bytes), when it was given.
    const QByteArray& nativeFileName() const { return nativeFileName_; }
    void setFileName(const QString& fileName, const QByteArray& native = {}) {
        fileName_ = fileName;
        nativeFileName_ = native;
    }
    // The file it was decoded from, as it was all through the reading; none for a
    // picture that did not come from a file, or whose file changed meanwhile.
    const std::optional<FileState>& source() const { return source_; }
    void setSource(std::optional<FileState> state) { source_ = state; }

private:
    QList<QImage> images_;
    std::shared_ptr<Figure> figure_;
    bool icon_ = false;
    QString fileName_;
    QByteArray nativeFileName_;
    std::optional<FileState> source_;
};

// Decodes a picture held in memory (a whole picture file). Raises PictureError::Invalid
// when the bytes are not a picture the program can show, PictureError::TooLarge for one
// larger than it takes.
Picture decodePicture(const QByteArray& bytes);

// Every image of an icon file (.ico), read without Qt's plug-in, which costs a start-up
// its loading; transparency as Windows shows it. Images past 16 M pixels in all are
// left out, the first never. No value for an icon it does not read
// (a PNG image in it, a compressed or malformed one): Qt's reader is left to try.
std::optional<QList<QImage>> decodeIconFile(const QByteArray& file);

// Decodes one of the pictures that are built into the program (a window design's).
// Raises PictureError::Missing when there is none by that name.
Picture loadPictureResource(const QString& resourcePath);

} // namespace kv
