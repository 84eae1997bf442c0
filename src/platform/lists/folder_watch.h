#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace kv {

// The system's notices (inotify) of entries added, removed or renamed in one folder:
// of its subfolders for the folder list, of its other entries for the file list, so
// that each list reads the folder again only for what it shows. They are gathered:
// the folder is read again a moment after the first notice, then at most once every
// half second (counted from the end of a reading, so that a big folder leaves the
// window that long to answer) while they keep coming, and always once after the last.
// A file system that gives no notice (a network share) is read again with F5. Notices of
// the folder itself (removed, moved away, its permissions changed) go to `folderChanged`
// where one is given, half a second later: a program that writes its folder anew removes
// it and makes it again at once. The system stops following a folder that was removed:
// the next watch() of the same path follows the folder that bears it now.
class FolderWatch : public QObject {
public:
    FolderWatch(QObject* parent, bool subfolders, std::function<void()> readAgain,
                std::function<void()> folderChanged = {});
    ~FolderWatch() override;
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Follows this folder from now on, instead of the one before (`again`: the same path,
    // which may lead to another folder now, a link pointed elsewhere). The system is asked on
    // the thread of `place`, the folder's drive (see bounded_wait.h): a share that stops
    // answering right then holds that thread, never the window, and the next step on
    // the share waits for it within its limit.
    void watch(const QByteArray& folder, const QString& place, bool again = false);

private:
    static constexpr int kGatherMs = 100;
    static constexpr int kIntervalMs = 500;

    void noticed();
    void answered(quint64 asked, int wd);

    std::function<void()> readAgain_;
    std::function<void()> folderChanged_;
    QTimer folderTimer_;
    bool subfolders_;
    QByteArray folder_;
    int fd_ = -1;
    int wd_ = -1;
    quint64 asked_ = 0;      // the system was asked to follow a folder this many times
    bool answering_ = false; // the last asking has no answer yet
    QSocketNotifier* notifier_ = nullptr;
    QTimer timer_;
    QElapsedTimer sinceRead_;
};

// The folders on the way to a folder, from the system's root down to the folder's own
// (the folder shown), watched for a change of the path itself: a folder on the way, or
// the folder, renamed or moved (`moved` gets the folder's new path, as the system
// knows it, where the other half of the rename says where it went), and one removed,
// made, or put in place of another of its name (a link pointed elsewhere): `changed`,
// a moment later, when the path may lead elsewhere or nowhere now.
class PathWatch : public QObject {
public:
    PathWatch(QObject* parent, std::function<void(const QByteArray&)> moved, std::function<void()> changed);
    ~PathWatch() override;
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    // Follows this folder's path from now on (asked on `place`'s thread as above).
    void watch(const QByteArray& folder, const QString& place);

private:
    static constexpr int kPairMs = 50;
    // As for the folder itself: a program that writes a folder anew removes it and
    // makes it again at once.
    static constexpr int kChangedMs = 500;
    void noticed();
    std::function<void(const QByteArray&)> moved_;
    std::function<void()> changed_;
    QList<QByteArray> parts_; // the folder's path, a name a part
    // Each folder on the way by its watch: how many parts of the path lead to it.
    std::shared_ptr<QHash<int, int>> depthOf_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer unpaired_; // a part of the path moved away (the other half not seen yet), or changed
    quint32 cookie_ = 0;
    int movedDepth_ = -1;
};

} // namespace kv
