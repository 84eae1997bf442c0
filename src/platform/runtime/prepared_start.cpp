#include "platform/runtime/prepared_start.h"

#include "picture/bmp_reader.h"
#include "platform/world/filesystem.h"
#include "platform/world/picture_file.h"

#include <condition_variable>
#include <fontconfig/fontconfig.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <utility>

namespace kv {

namespace {

std::optional<FileState> stateOf(const QByteArray& path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileState::of(st);
}

// The work's state, shared with its thread: the thread is never waited for by the
// user-interface thread (a figure on a share that stops answering would hold it).
struct Prepared {
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;  // the thread is through
    bool given = false; // taken, or let go: nothing more is given from it
    std::optional<FileState> state;
    Picture picture;
};

std::shared_ptr<Prepared>& prepared() {
    static std::shared_ptr<Prepared> p;
    return p;
}

} // namespace

Picture preparedForScreen(Picture picture) {
    // Made before the application had a screen, a bitmap took Qt's resolution without
    // one; it gets the screen's, as every picture decoded from now on has (the
    // clipboard's BMP and PNG state it). It is the image's one holder: the resolution
    // changes in place.
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

void prepareStart(const QByteArray& pictureFile, void (*step)(const char* what)) {
    std::shared_ptr<Prepared>& current = prepared();
    if (current) {
        const std::lock_guard<std::mutex> lock(current->mutex);
        if (!current->given)
            return;
    }
    const auto p = std::make_shared<Prepared>();
    current = p;
    std::thread([p, pictureFile, step] {
        // Fontconfig reads its configuration and caches once per process, whichever
        // thread asks first; Qt's font database then finds them read. First, for Qt's
        // start wants them before the start wants the picture.
        FcInit();
        if (step)
            step("fonts read ahead");
        std::optional<FileState> state;
        Picture picture;
        if (const std::optional<FileState> before = stateOf(pictureFile)) {
            try {
                const ReadingBesideStart beside; // one thread: the other core is Qt's
                // By its bytes, as the command line gave it.
                picture = loadPictureFile(pictureFile, QString());
                if (stateOf(pictureFile) == before)
                    state = before;
            } catch (...) {
                // Whatever failed fails again, with its message, when the file is loaded.
            }
            if (step)
                step("picture read ahead");
        }
        {
            const std::lock_guard<std::mutex> lock(p->mutex);
            if (!p->given && state) {
                p->picture = std::move(picture);
                p->state = state;
            }
            p->done = true;
        }
        p->doneSignal.notify_all();
        picture = Picture(); // (let go here, unless given)
    }).detach();
}

std::optional<Picture> takePreparedPicture(const QByteArray& file) {
    const std::shared_ptr<Prepared> p = prepared();
    if (!p)
        return std::nullopt;
    std::optional<FileState> state;
    Picture picture;
    {
        std::unique_lock<std::mutex> lock(p->mutex);
        p->doneSignal.wait(lock, [&] { return p->done || p->given; });
        if (p->given)
            return std::nullopt;
        p->given = true;
        state = std::exchange(p->state, std::nullopt);
        picture = std::exchange(p->picture, Picture());
    }
    if (!state || stateOf(file) != state)
        return std::nullopt;
    return picture;
}

void finishPreparedStart() {
    if (const std::shared_ptr<Prepared> p = prepared()) {
        const std::lock_guard<std::mutex> lock(p->mutex);
        p->given = true;
        p->state.reset();
        p->picture = Picture();
    }
}

} // namespace kv
