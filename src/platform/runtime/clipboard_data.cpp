// The clipboard's data for a picture: the picture itself, from which Qt makes every image
// format it writes on request, and its PNG, encoded once right after "Copia" on threads
// of its own, so that every paste costs only its transfer and the window goes on
// answering while the PNG is made.
#include "platform/runtime/clipboard_data.h"

#include "picture/png_writer.h"

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
} // namespace

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

PictureMimeData::PictureMimeData(const QImage& image) {
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

PictureMimeData::~PictureMimeData() = default;

QVariant PictureMimeData::retrieveData(const QString& format, QMetaType type) const {
    const bool png = format == kPng || (format == kQtImage && type.id() == QMetaType::QByteArray);
    if (!png)
        return QMimeData::retrieveData(format, type);
    const_cast<PictureMimeData*>(this)->takePng();
    return QMimeData::retrieveData(kPng, type);
}

void PictureMimeData::takePng() {
    if (!encoding_)
        return;
    setData(kPng, encoding_->take());
    encoding_.reset();
}

} // namespace kv
