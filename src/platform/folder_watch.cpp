#include "platform/folder_watch.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace kv {

FolderWatch::FolderWatch(QObject* parent, bool subfolders, std::function<void()> readAgain)
    : QObject(parent), readAgain_(std::move(readAgain)), subfolders_(subfolders) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        readAgain_();
        sinceRead_.start(); // the half second is the window's own, between readings
    });
}

FolderWatch::~FolderWatch() {
    delete notifier_; // before its descriptor goes
    if (fd_ >= 0)
        ::close(fd_);
}

void FolderWatch::watch(const QByteArray& folder) {
    if (folder == folder_)
        return;
    folder_ = folder;
    timer_.stop();
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &FolderWatch::noticed);
    }
    const int old = wd_;
    wd_ = ::inotify_add_watch(fd_, folder.constData(),
                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    if (old >= 0 && old != wd_)
        ::inotify_rm_watch(fd_, old);
}

void FolderWatch::noticed() {
    // What the notices say does not matter: the folder is read again whole.
    char buffer[4096];
    bool forFolder = false;
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            // (A queue that overflowed may have lost any notice.)
            forFolder |= (event.mask & IN_Q_OVERFLOW) || (event.wd == wd_ && !(event.mask & IN_IGNORED) &&
                                                          bool(event.mask & IN_ISDIR) == subfolders_);
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    if (!forFolder || timer_.isActive())
        return;
    const qint64 since = sinceRead_.isValid() ? sinceRead_.elapsed() : kIntervalMs;
    timer_.start(static_cast<int>(std::max<qint64>(kGatherMs, kIntervalMs - since)));
}

} // namespace kv
