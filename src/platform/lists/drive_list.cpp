#include "platform/lists/drive_list.h"

#include "platform/lists/folder_list.h"
#include "platform/lists/list_rows.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/filesystem.h"

#include <QDir>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {
// Changes of the mount table come in bursts (a desktop mounts a stick's parts one after
// the other): they are taken together.
constexpr int kMountsGatherMs = 200;

void drainMounts(int fd) {
    char buffer[4096];
    ::lseek(fd, 0, SEEK_SET);
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}
} // namespace

DriveListWidget::DriveListWidget(const ControlDesign&, QWidget* parent) : QComboBox(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setEditable(false);
    setSizeAdjustPolicy(QComboBox::AdjustToContentsOnFirstShow);
    // At first the drive of the working folder is current.
    drive_ = driveOf(QDir::currentPath(), mountedDrives());
    refill();
    connect(this, qOverload<int>(&QComboBox::activated), this, &DriveListWidget::userPicked);
    connect(this, &QComboBox::currentIndexChanged, this, [this] { tellChosenEntry(this); });
    followMounts();
}

DriveListWidget::~DriveListWidget() {
    if (mounts_ >= 0)
        ::close(mounts_);
}

void DriveListWidget::followMounts() {
    // The system tells of every change of the mount table (a stick plugged in, a share
    // mounted or taken away) as an exceptional condition of the open table; it is read
    // to the end for the next one to be told.
    mounts_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mounts_ < 0)
        return;
    drainMounts(mounts_);
    mountsTimer_ = new QTimer(this);
    mountsTimer_->setSingleShot(true);
    connect(mountsTimer_, &QTimer::timeout, this, [this] { afterWaits(this, [this] { mountsChanged(); }); });
    auto* notifier = new QSocketNotifier(mounts_, QSocketNotifier::Exception, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        drainMounts(mounts_);
        if (!mountsTimer_->isActive())
            mountsTimer_->start(kMountsGatherMs);
    });
}

void DriveListWidget::mountsChanged() {
    // The drive shown taken away is left, told, as when it is next used; the others come
    // and go from the list quietly.
    if (leaveLostDrive(this, {mountPointOf(drive_)}))
        return;
    refreshDrives();
    refill();
}

void DriveListWidget::refill() {
    const QSignalBlocker quiet(this);
    QStringList drives = mountedDrives();
    if (!drives.contains(drive_))
        drives.append(drive_);
    clear();
    addItems(drives);
    setCurrentIndex(findText(drive_, Qt::MatchExactly | Qt::MatchCaseSensitive));
    tellShownEntry(this);
}

void DriveListWidget::showPopup() {
    // Media may have come or gone since the list was last shown.
    if (!leaveLostDrive(this, {mountPointOf(drive_)}))
        refill();
    QComboBox::showPopup();
    tellPopupRow(this);
}

void DriveListWidget::setDrive(const QString& path) {
    const QString drive = driveOf(path, mountedDrives());
    if (drive == drive_)
        return;
    drive_ = drive;
    refill();
    if (onChange)
        onChange();
}

void DriveListWidget::restoreDrive(const QString& path) {
    // The drive of the tree that shows the folder, which may hold other drives' mount
    // points further down.
    const auto* dirs = window()->findChild<DirListWidget*>();
    drive_ =
        dirs && dirs->path() == cleanPath(path) ? driveText(dirs->root()) : driveOf(path, mountedDrives());
    refill();
}

void DriveListWidget::userPicked(int index) {
    const QString picked = itemText(index);
    if (leaveLostDrive(this, {mountPointOf(drive_)}))
        return;
    if (!mountedDrives().contains(picked)) {
        // Taken away while the list was open.
        reportError(RuntimeError(ErrorCode::DiskNotReady, mountPointOf(picked)));
        refill();
        return;
    }
    if (picked == drive_)
        return;
    raiseEvent([this, picked] {
        drive_ = picked;
        if (onChange)
            onChange();
    });
}

void DriveListWidget::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_F5) {
        readListsAgain(this);
        e->accept();
        return;
    }
    QComboBox::keyPressEvent(e);
}

void DriveListWidget::moveToProgramDrive(const QString& lost) {
    forgetCurrentFoldersOn(lost);
    // The program folder as found at start; gone with the drive, or on a drive that
    // gives no answer, the root instead (that drive is not left in turn: it is not the
    // one shown).
    const QString home = cleanPath(programFolder());
    const QString drive = driveOf(home, mountedDrives());
    bool there = false;
    try {
        there = waitOn<bool>(drive, RuntimeError(ErrorCode::DeviceUnavailable, mountPointOf(drive)), {},
                             [home] { return folderExists(home); });
    } catch (const RuntimeError&) {
    }
    moveTo(there ? home : QStringLiteral("/"));
}

void DriveListWidget::moveTo(const QString& folder) {
    drive_ = driveOf(folder, mountedDrives());
    setCurrentFolderOf(drive_, folder);
    refill();
    // Raised even when the folder's drive was the current one: the folder list may
    // still show a folder of a drive that went, or a folder that went.
    raiseEvent([this] {
        if (onChange)
            onChange();
    });
}

} // namespace kv
