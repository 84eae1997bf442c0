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

namespace {
// Reads every notice the system has queued on an inotify descriptor and gives each to
// `each` with the entry's name (empty for the folder itself), until `each` says to stop
// (false); whether all were read.
template <class Each> bool readNotices(int fd, Each&& each) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = event.len > 0 ? buffer + at + sizeof event : "";
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (!each(event, name))
                return false;
        }
    return true;
}
} // namespace

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

void FolderWatch::watch(const QByteArray& folder, const QString& place, bool again) {
    if (folder == folder_ && (wd_ >= 0 || answering_) && !again)
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
    bool forFolder = false;
    bool itself = false;
    readNotices(fd_, [&](const inotify_event& event, const char*) {
        // (A queue that overflowed may have lost any notice.)
        if (event.mask & IN_Q_OVERFLOW) {
            forFolder = true;
        } else if (event.wd != wd_) {
        } else if (event.mask & IN_IGNORED) {
            wd_ = -1; // the folder went: the system follows it no more
            itself = true;
        } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF) ||
                   (event.mask & IN_ATTRIB && event.len == 0)) {
            itself = true;
        } else if (!(event.mask & IN_ATTRIB)) {
            forFolder |= bool(event.mask & IN_ISDIR) == subfolders_;
        }
        return true;
    });
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

PathWatch::PathWatch(QObject* parent, std::function<void(const QByteArray&)> moved,
                     std::function<void()> changed)
    : QObject(parent), moved_(std::move(moved)), changed_(std::move(changed)),
      depthOf_(std::make_shared<QHash<int, int>>()) {
    unpaired_.setSingleShot(true);
    connect(&unpaired_, &QTimer::timeout, this, [this] {
        // Moved where the system does not say (off the folders watched), or removed.
        movedDepth_ = -1;
        afterWaits(this, [this] { changed_(); });
    });
}

PathWatch::~PathWatch() {
    delete notifier_;
    if (fd_ >= 0)
        ::close(fd_);
}

void PathWatch::watch(const QByteArray& folder, const QString& place) {
    // A new set of watches on a new descriptor: the old one's notices are dropped with it.
    delete notifier_;
    notifier_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    unpaired_.stop();
    movedDepth_ = -1;
    parts_ = folder.split('/');
    parts_.removeAll(QByteArray());
    depthOf_ = std::make_shared<QHash<int, int>>();
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        return;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PathWatch::noticed);
    // Asked on the drive's thread; the watches are filled in as they are made (the
    // notices of a folder whose watch is not known yet are dropped).
    const EarlyStep step(
        place, [fd = fd_, parts = parts_, depths = depthOf_, self = QPointer<PathWatch>(this)] {
            QHash<int, int> made;
            QByteArray path = "/";
            for (int depth = 0; depth < parts.size(); ++depth) {
                const int wd = ::inotify_add_watch(
                    fd, path.constData(), IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_ONLYDIR);
                if (wd >= 0)
                    made.insert(wd, depth);
                path += (depth == 0 ? "" : "/") + parts.at(depth);
            }
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(
                    app,
                    [self, depths, made] {
                        if (self && self->depthOf_ == depths)
                            *depths = made;
                    },
                    Qt::QueuedConnection);
        });
    (void)step;
}

void PathWatch::noticed() {
    bool changed = false;
    const bool allRead = readNotices(fd_, [&](const inotify_event& event, const char* name) {
        if (event.mask & IN_Q_OVERFLOW) {
            changed = true;
            return true;
        }
        const auto found = depthOf_->constFind(event.wd);
        if (found == depthOf_->constEnd() || event.len == 0)
            return true;
        const int depth = *found;
        // The other half of a move of a part of the path: where it went.
        if (event.mask & IN_MOVED_TO && movedDepth_ >= 0 && event.cookie == cookie_) {
            QByteArray to = "/";
            for (int i = 0; i < depth; ++i)
                to += parts_.at(i) + '/';
            to += QByteArray(name);
            for (int i = movedDepth_ + 1; i < parts_.size(); ++i)
                to += '/' + parts_.at(i);
            unpaired_.stop();
            movedDepth_ = -1;
            afterWaits(this, [this, to] { moved_(to); });
            return false; // the watches are made anew for the new path
        }
        if (QByteArray(name) != parts_.at(depth))
            return true;
        if (event.mask & IN_MOVED_FROM && event.mask & IN_ISDIR) {
            cookie_ = event.cookie;
            movedDepth_ = depth;
            unpaired_.start(kPairMs);
        } else {
            changed = true;
        }
        return true;
    });
    if (!allRead)
        return;
    if (changed && !unpaired_.isActive())
        unpaired_.start(kChangedMs);
}

} // namespace kv
