#include "platform/prepared_start.h"

#include "platform/filesystem.h"

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

} // namespace

void prepareStart(const QByteArray& pictureFile) {
    Prepared& p = prepared();
    if (p.worker.joinable())
        return;
    p.state.reset();
    p.picture = Picture();
    p.worker = std::thread([&p, pictureFile] {
        // The picture first: a big one takes longer than all of Qt's start.
        if (const std::optional<FileState> before = stateOf(pictureFile)) {
            try {
                // By its bytes: the table of names that are not UTF-8 belongs to the
                // user-interface thread, which lists folders meanwhile.
                Picture picture = loadPictureFile(pictureFile, QString());
                if (stateOf(pictureFile) == before) {
                    p.picture = std::move(picture);
                    p.state = before;
                }
            } catch (...) {
                // Whatever failed fails again, with its message, when the file is loaded.
            }
        }
        // Fontconfig reads its configuration and caches once per process, whichever
        // thread asks first; Qt's font database then finds them read.
        FcInit();
    });
}

std::optional<Picture> takePreparedPicture(const QString& fileName) {
    Prepared& p = prepared();
    p.join();
    if (!p.state)
        return std::nullopt;
    std::optional<Picture> taken;
    if (stateOf(nativePath(fileName)) == p.state)
        taken = std::move(p.picture);
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
