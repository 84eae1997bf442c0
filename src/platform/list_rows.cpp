#include "platform/list_rows.h"

#include "platform/drive_list.h"
#include "platform/events.h"
#include "platform/file_list.h"
#include "platform/filesystem.h"
#include "platform/folder_list.h"
#include "platform/ole_color.h"
#include "platform/runtime_error.h"

#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

namespace kv {

void styleList(QListView* v, const ControlDesign& d) {
    QPalette pal = v->palette();
    pal.setColor(QPalette::Base,
                 toQColor(d.backColor == kDefaultColor ? color::WindowBackground : d.backColor));
    pal.setColor(QPalette::Text, toQColor(d.foreColor == kDefaultColor ? color::WindowText : d.foreColor));
    v->setPalette(pal);
    v->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    v->setLineWidth(2);
    v->setUniformItemSizes(true);
    v->setSelectionMode(QAbstractItemView::SingleSelection);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    v->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    v->setFocusPolicy(Qt::StrongFocus);
    v->setTextElideMode(Qt::ElideRight);
}

QItemSelectionModel::SelectionFlags keepSelection(QItemSelectionModel::SelectionFlags flags) {
    if (flags & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
        return QItemSelectionModel::ClearAndSelect;
    return flags;
}

bool leaveLostDrive(QWidget* list, const QStringList& paths) {
    const QString lost = driveGoneUnder(paths);
    if (lost.isEmpty())
        return false;
    reportError(RuntimeError(ErrorCode::DiskNotReady, mountPointOf(lost)));
    auto* drives = qobject_cast<DriveListWidget*>(list);
    if (!drives)
        drives = list->window()->findChild<DriveListWidget*>();
    if (drives)
        drives->moveToProgramDrive(lost);
    return true;
}

void leaveLostDriveLater(const QString& lost) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* drives = top->findChild<DriveListWidget*>()) {
            QTimer::singleShot(0, drives, [drives = QPointer(drives), lost] {
                if (drives)
                    afterWaits(drives, [drives, lost] { drives->moveToProgramDrive(lost); });
            });
            return;
        }
}

namespace {
QList<FilePath> readEntriesOf(const FilePath& folder, bool subfolders, const QString& pattern) {
    return subfolders ? readSubfolders(folder) : readFiles(folder, pattern);
}
} // namespace

FolderListing readFolderOnDrive(const QString& folder, bool subfolders, const QString& pattern) {
    return readOnDrive<FolderListing>(folder, [folder, subfolders, pattern] {
        const FilePath shown{folder, nativePath(folder)};
        return FolderListing{shown, readEntriesOf(shown, subfolders, pattern)};
    });
}

QList<FilePath> readEntriesOnDrive(const FilePath& folder, bool subfolders, const QString& pattern) {
    return readOnDrive<QList<FilePath>>(
        folder.text, [folder, subfolders, pattern] { return readEntriesOf(folder, subfolders, pattern); });
}

bool folderThere(const QString& folder) {
    return readOnDrive<bool>(folder, [folder] { return folderExists(folder); });
}

void leaveGoneFolder(QWidget* list, const QString& gone) {
    auto* drives = list->window()->findChild<DriveListWidget*>();
    if (!drives)
        return;
    try {
        QString target = cleanPath(programFolder());
        if (!folderThere(target))
            for (target = cleanPath(gone); target != QLatin1String("/") && !folderThere(target);)
                target = cleanPath(target + QLatin1String("/.."));
        drives->moveTo(target);
    } catch (const RuntimeError& e) {
        reportError(e); // its drive gives no answer: the lists leave that drive instead
    }
}

RowInView rowInView(const QListView* list) {
    const int scrolled = list->verticalScrollBar()->value();
    const QModelIndex current = list->currentIndex();
    const bool seen = current.isValid() && list->viewport()->rect().intersects(list->visualRect(current));
    return {scrolled, seen ? current.row() - scrolled : -1};
}

void keepInView(QListView* list, const RowInView& before) {
    const QModelIndex current = list->currentIndex();
    // (The list scrolls a row at a time: its scroll value is the first row shown.)
    if (before.offset >= 0 && current.isValid())
        list->verticalScrollBar()->setValue(std::max(0, current.row() - before.offset));
    else
        list->verticalScrollBar()->setValue(before.scrolled);
}

void readListsAgain(QWidget* list) {
    QWidget* window = list->window();
    auto* drives = window->findChild<DriveListWidget*>();
    if (drives && leaveLostDrive(drives, {mountPointOf(drives->drive())}))
        return;
    refreshDrives();
    if (drives)
        drives->restoreDrive(drives->drive());
    if (auto* dirs = window->findChild<DirListWidget*>())
        if (!dirs->readAgain())
            return;
    if (auto* files = window->findChild<FileListWidget*>())
        files->readAgain();
}

} // namespace kv
