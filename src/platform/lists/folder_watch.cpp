#include "platform/lists/folder_watch.h"

#include "platform/world/bounded_wait.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <sys/inotify.h>
#include <unistd.h>

namespace kv {

FolderWatch::FolderWatch(QObject* parent, bool subfolders, std::function<void()> readAgain,
                         std::function<void()> folderChanged)
    : QObject(parent), readAgain_(std::move(readAgain)), folderChanged_(std::move(folderChanged)),
      subfolders_(subfolders) {
    timer_.setSingleShot(true);
    folderTimer_.setSingleShot(true);
    // Not while the program waits on a step: the lists must not change under it.
    connect(&timer_, &QTimer::timeout, this, [this] {
        afterWaits(this, [this] {
            readAgain_();
            sinceRead_.start(); // the half second is the window's own, between readings
        });
    });
    connect(&folderTimer_, &QTimer::timeout, this, [this] {
        afterWaits(this, [this] {
            timer_.stop(); // the folder is read again whole
            folderChanged_();
            sinceRead_.start();
        });
    });
}

FolderWatch::~FolderWatch() {
    delete notifier_; // before its descriptor goes
    if (fd_ >= 0)
        ::close(fd_);
}

void FolderWatch::watch(const QByteArray& folder, const QString& place) {
    if (folder == folder_ && (wd_ >= 0 || answering_))
        return;
    folder_ = folder;
    timer_.stop();
    folderTimer_.stop();
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &FolderWatch::noticed);
    }
    // The answer comes back to this thread; one that comes after another asking (or
    // after the watch went) is dropped there.
    const quint64 asked = ++asked_;
    answering_ = true;
    const auto answer = std::make_shared<std::atomic<int>>(-1);
    const EarlyStep step(place, [fd = fd_, folder, answer, self = QPointer<FolderWatch>(this), asked] {
        const int wd = ::inotify_add_watch(fd, folder.constData(),
                                           IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                               IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB | IN_ONLYDIR);
        answer->store(wd);
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [self, asked, wd] {
                    if (self)
                        self->answered(asked, wd);
                },
                Qt::QueuedConnection);
    });
    if (step.over())
        answered(asked, answer->load());
}

void FolderWatch::answered(quint64 asked, int wd) {
    if (asked != asked_ || !answering_) {
        if (wd >= 0 && wd != wd_) // the answer for a folder no longer followed
            ::inotify_rm_watch(fd_, wd);
        return;
    }
    answering_ = false;
    const int old = wd_;
    wd_ = wd;
    if (old >= 0 && old != wd_)
        ::inotify_rm_watch(fd_, old);
}

void FolderWatch::noticed() {
    // What the notices say does not matter: the folder is read again whole.
    char buffer[4096];
    bool forFolder = false;
    bool itself = false;
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            // (A queue that overflowed may have lost any notice.)
            if (event.mask & IN_Q_OVERFLOW) {
                forFolder = true;
                continue;
            }
            if (event.wd != wd_)
                continue;
            if (event.mask & IN_IGNORED) {
                wd_ = -1; // the folder went: the system follows it no more
                itself = true;
            } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF) ||
                       (event.mask & IN_ATTRIB && event.len == 0)) {
                itself = true;
            } else if (!(event.mask & IN_ATTRIB)) {
                forFolder |= bool(event.mask & IN_ISDIR) == subfolders_;
            }
        }
    if (itself && folderChanged_) {
        if (!folderTimer_.isActive())
            folderTimer_.start(kIntervalMs);
        return;
    }
    if (!forFolder || timer_.isActive() || folderTimer_.isActive())
        return;
    const qint64 since = sinceRead_.isValid() ? sinceRead_.elapsed() : kIntervalMs;
    timer_.start(static_cast<int>(std::max<qint64>(kGatherMs, kIntervalMs - since)));
}

} // namespace kv
