#include "platform/prepared_start.h"

#include "platform/filesystem.h"

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>
#include <thread>

namespace kv {

namespace {

// What tells one state of a file from another.
struct FileState {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified, changed;
    bool operator==(const FileState& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

std::optional<FileState> stateOf(const QByteArray& path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileState{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
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
                // By its bytes, as the command line gave it.
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

std::optional<Picture> takePreparedPicture(const QByteArray& file) {
    Prepared& p = prepared();
    p.join();
    if (!p.state)
        return std::nullopt;
    std::optional<Picture> taken;
    if (stateOf(file) == p.state)
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
