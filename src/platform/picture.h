#pragma once
#include <QByteArray>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <optional>

// A decoded picture: a bitmap, or an icon with one or more images. Copies share the
// pixels, so handing a picture from one picture box to another takes a reference.
namespace kv {

class Picture {
public:
    Picture() = default;
    static Picture fromImage(QImage image);
    static Picture fromIconImages(QList<QImage> images);

    bool isNull() const { return images_.isEmpty() || images_.front().isNull(); }
    bool isIcon() const { return icon_; }
    // The image that is shown: the bitmap itself, or an icon's first image.
    QImage image() const { return images_.isEmpty() ? QImage() : images_.front(); }
    const QList<QImage>& images() const { return images_; }
    QSize size() const { return image().size(); }
    // All images of an icon, for a window's title bar; a bitmap gives a one-image icon.
    QIcon toIcon() const;
    // The full path of the file the picture was read from; empty for the program's own.
    const QString& fileName() const { return fileName_; }
    void setFileName(const QString& fileName) { fileName_ = fileName; }

private:
    QList<QImage> images_;
    bool icon_ = false;
    QString fileName_;
};

// Decodes a picture held in memory (a whole picture file). Throws the invalid-picture
// run-time error when the bytes are not a picture the program can show.
Picture decodePicture(const QByteArray& bytes, const QString& nameForMessages = {});

// Every image of an icon file (.ico), read without Qt's plug-in, which costs a start-up
// its loading; transparency as Windows shows it. Images past 16 M pixels in all are
// left out, the first never. No value for an icon it does not read
// (a PNG image in it, a compressed or malformed one): Qt's reader is left to try.
std::optional<QList<QImage>> decodeIconFile(const QByteArray& file);

// Reads and decodes a picture file. An empty name gives an empty picture; a missing,
// unreadable or undecodable file raises the matching run-time error.
Picture loadPictureFile(const QString& fileName);
// The same for a file named by its bytes; `fileName` is the name the messages give.
Picture loadPictureFile(const QByteArray& path, const QString& fileName);

// Decodes one of the pictures that are built into the program (a window design's).
Picture loadPictureResource(const QString& resourcePath);

} // namespace kv
