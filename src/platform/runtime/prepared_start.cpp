#include "platform/runtime/prepared_start.h"

#include "picture/bmp_reader.h"
#include "platform/world/filesystem.h"
#include "platform/world/picture_file.h"

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <thread>

namespace kv {

namespace {

std::optional<FileState> stateOf(const QByteArray& path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileState::of(st);
}

struct Prepared {
    std::thread worker;
    // Written by the worker only; read after it was joined.
    std::optional<FileState> state;
    Picture picture;

    void join() {
        if (worker.joinable())
            worker.join();
    }
    ~Prepared() { join(); }
};

Prepared& prepared() {
    static Prepared p;
    return p;
}

// Made before the application had a screen, a bitmap took Qt's resolution without one;
// it gets the screen's, as every picture decoded from now on has (the clipboard's BMP
// and PNG state it). It is the image's one holder: the resolution changes in place.
Picture withScreenResolution(Picture picture) {
    if (picture.isIcon() || picture.readAsShown()) // a figure's whole gets it when made
        return picture;
    const QImage now(1, 1, QImage::Format_RGB32);
    QImage image = picture.image();
    const std::optional<FileState> source = picture.source();
    picture = Picture();
    image.setDotsPerMeterX(now.dotsPerMeterX());
    image.setDotsPerMeterY(now.dotsPerMeterY());
    Picture adjusted = Picture::fromImage(std::move(image));
    adjusted.setSource(source);
    return adjusted;
}

} // namespace

void prepareStart(const QByteArray& pictureFile, void (*step)(const char* what)) {
    Prepared& p = prepared();
    if (p.worker.joinable())
        return;
    p.state.reset();
    p.picture = Picture();
    p.worker = std::thread([&p, pictureFile, step] {
        // Fontconfig reads its configuration and caches once per process, whichever
        // thread asks first; Qt's font database then finds them read. First, for Qt's
        // start wants them before the start wants the picture.
        FcInit();
        if (step)
            step("fonts read ahead");
        if (const std::optional<FileState> before = stateOf(pictureFile)) {
            try {
                const ReadingBesideStart beside; // one thread: the other core is Qt's
                // By its bytes, as the command line gave it.
                Picture picture = loadPictureFile(pictureFile, QString());
                if (stateOf(pictureFile) == before) {
                    p.picture = std::move(picture);
                    p.state = before;
                }
            } catch (...) {
                // Whatever failed fails again, with its message, when the file is loaded.
            }
            if (step)
                step("picture read ahead");
        }
    });
}

std::optional<Picture> takePreparedPicture(const QByteArray& file) {
    Prepared& p = prepared();
    p.join();
    if (!p.state)
        return std::nullopt;
    std::optional<Picture> taken;
    if (stateOf(file) == p.state)
        taken = withScreenResolution(std::move(p.picture));
    p.state.reset();
    p.picture = Picture();
    return taken;
}

void finishPreparedStart() {
    Prepared& p = prepared();
    p.join();
    p.state.reset();
    p.picture = Picture();
}

} // namespace kv
