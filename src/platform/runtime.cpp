#include "platform/runtime.h"

#include "platform/accessibility.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/list_widgets.h"
#include "platform/png_writer.h"
#include "platform/prepared_start.h"
#include "platform/runtime_error.h"
#include "platform/widgets.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QMimeData>
#include <QStyle>
#include <QStyleFactory>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace kv {

namespace {

const QString kPng = QStringLiteral("image/png");
const QString kQtImage = QStringLiteral("application/x-qt-image");

// The PNG of one picture, encoded on threads of its own from the moment it is made.
class PngEncoding {
public:
    explicit PngEncoding(const QImage& image, std::function<void()> whenDone) {
        thread_ = std::thread([this, image, whenDone = std::move(whenDone)] {
            QByteArray png;
            try {
                png = encodePng(image, cancelled_);
            } catch (...) {
                // Qt encodes the picture itself when it is asked for it
            }
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                png_ = std::move(png);
                done_ = true;
            }
            ready_.notify_all();
            if (!cancelled_)
                whenDone();
        });
    }
    // Stops the encoding between two rows, and waits for its threads.
    ~PngEncoding() {
        cancelled_ = true;
        thread_.join();
    }
    // The PNG, once it is encoded: waits for the rest of the encoding.
    QByteArray take() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return done_; });
        return std::move(png_);
    }

private:
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable ready_;
    bool done_ = false;
    QByteArray png_;
    std::thread thread_;
};

// What "Copia" puts on the clipboard: the picture itself, from which Qt offers every
// image format it writes, and the same picture as PNG beside it, in the place Qt gives
// PNG among them, encoded once for every paste (Qt would encode it again at each one, on
// the event loop). Until the encoding is done, the PNG's place is held by an empty
// value; a paste that asks for it then waits for the rest of the encoding. Qt's own
// name for a picture, application/x-qt-image, is sent as the same PNG.
class PictureMimeData : public QMimeData {
public:
    explicit PictureMimeData(const QImage& image) {
        setImageData(image);
        setData(kPng, QByteArray());
        try {
            encoding_ = std::make_unique<PngEncoding>(image, [this] {
                QMetaObject::invokeMethod(
                    this, [this] { takePng(); }, Qt::QueuedConnection);
            });
        } catch (const std::system_error&) {
            // No thread to be had: the PNG stays empty, and Qt encodes it at each paste.
        }
    }

protected:
    QVariant retrieveData(const QString& format, QMetaType type) const override {
        const bool png = format == kPng || (format == kQtImage && type.id() == QMetaType::QByteArray);
        if (!png)
            return QMimeData::retrieveData(format, type);
        const_cast<PictureMimeData*>(this)->takePng();
        return QMimeData::retrieveData(kPng, type);
    }

private:
    void takePng() {
        if (!encoding_)
            return;
        setData(kPng, encoding_->take());
        encoding_.reset();
    }

    std::unique_ptr<PngEncoding> encoding_;
};

// The pictures that picture boxes show, with the files they came from.
QList<Picture> shownPictures() {
    QList<Picture> shown;
    for (QWidget* widget : QApplication::allWidgets())
        if (auto* box = qobject_cast<PictureBoxWidget*>(widget); box && box->picture().source())
            shown.append(box->picture());
    return shown;
}

} // namespace

QString AppObject::path() const {
    return programFolder();
}

void AppObject::setPath(const QString& folder) {
    setProgramFolder(folder);
}

void ClipboardObject::clear() {
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void ClipboardObject::setData(const Picture& picture) {
    if (picture.isNull())
        return;
    QGuiApplication::clipboard()->setMimeData(new PictureMimeData(picture.image()), QClipboard::Clipboard);
}

Picture Runtime::loadPicture(const QString& fileName) const {
    return loadPicture(FilePath{fileName, fileName.isEmpty() ? QByteArray() : nativePath(fileName)});
}

Picture Runtime::loadPicture(const FilePath& file) const {
    if (file.native.isEmpty())
        return {};
    std::optional<Picture> picture = takePreparedPicture(file.native);
    try {
        if (!picture)
            picture = loadPictureFile(file.native, file.text, shownPictures());
    } catch (const RuntimeError& e) {
        if (e.code() == ErrorCode::FileNotFound || e.code() == ErrorCode::PathNotFound) {
            const QString lost = driveGoneUnder({file.text});
            if (!lost.isEmpty()) {
                leaveLostDriveLater(lost);
                throw RuntimeError(ErrorCode::DiskNotReady, mountPointOf(lost));
            }
        }
        throw;
    }
    picture->setFileName(file.text);
    return *std::move(picture);
}

void Runtime::end() const {
    endProgram();
}

void installLook(QApplication& app) {
    if (app.style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0) {
        app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        app.setPalette(app.style()->standardPalette());
    }
    // The windows were drawn for a small 8-point sans-serif at 96 pixels per inch: 11
    // pixels. Liberation Sans has the metrics the label row's spaces were counted for.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    app.setFont(font);
    app.setQuitOnLastWindowClosed(false); // the program ends with its last loaded window
    installAccessibility();
}

} // namespace kv
