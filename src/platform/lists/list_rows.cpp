#include "platform/lists/list_rows.h"

#include "platform/lists/drive_list.h"
#include "platform/lists/file_list.h"
#include "platform/lists/folder_list.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime_error.h"
#include "platform/ui/ole_color.h"
#include "platform/ui/widgets.h"
#include "platform/world/filesystem.h"

#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <algorithm>

namespace kv {

namespace {
RowAnnouncer announcer;
} // namespace

void setRowAnnouncer(const RowAnnouncer& a) {
    announcer = a;
}

void tellFocusedRow(QAbstractItemView* list, int row) {
    if (announcer.focusedRow)
        announcer.focusedRow(list, row);
}

void tellShownEntry(QComboBox* list) {
    if (announcer.shownEntry)
        announcer.shownEntry(list);
}

void tellChosenEntry(QComboBox* list) {
    if (announcer.chosenEntry)
        announcer.chosenEntry(list);
}

void tellPopupRow(QComboBox* list) {
    if (announcer.popupRow)
        announcer.popupRow(list);
}

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

RereadModel::Followed RereadModel::update(const QList<QByteArray>& old, const QList<QByteArray>& fresh,
                                          int follow,
                                          const std::function<bool(qsizetype, qsizetype)>& readsOtherwise) {
    qsizetype changedFrom = -1, changedTo = -1; // the rows that stay and read otherwise
    const auto kept = [&](qsizetype was, qsizetype is) {
        if (!readsOtherwise(was, is))
            return;
        changedFrom = changedFrom < 0 ? is : std::min(changedFrom, is);
        changedTo = std::max(changedTo, is);
    };
    const qsizetype oldCount = old.size();
    const qsizetype newCount = fresh.size();
    Followed followed;
    // Most re-reads change a few names: the rows alike at the start and at the end are
    // found by comparing bytes alone.
    qsizetype head = 0;
    while (head < oldCount && head < newCount && old[head] == fresh[head])
        ++head;
    qsizetype tail = 0;
    while (tail < oldCount - head && tail < newCount - head &&
           old[oldCount - 1 - tail] == fresh[newCount - 1 - tail])
        ++tail;
    for (qsizetype k = 0; k < head; ++k)
        kept(k, k);
    for (qsizetype k = 1; k <= tail; ++k)
        kept(oldCount - k, newCount - k);
    if (follow >= 0 && follow < head)
        followed.row = follow;
    else if (follow >= oldCount - tail && follow < oldCount)
        followed.row = static_cast<int>(follow - oldCount + newCount);

    // In between, one pass over both: an old row whose name is no longer listed goes; a
    // new name before the next old row that stays comes.
    const qsizetype oldEnd = oldCount - tail;
    const qsizetype newEnd = newCount - tail;
    QSet<QByteArray> unplaced; // the new names in between not placed yet
    if (oldEnd > head && newEnd > head) {
        unplaced.reserve(newEnd - head);
        for (qsizetype k = head; k < newEnd; ++k)
            unplaced.insert(fresh[k]);
    }
    split_ = head;
    oldAt_ = head;
    oldCount_ = oldCount;
    qsizetype i = head, j = head, goneAt = -1;
    while (i < oldEnd || j < newEnd) {
        if (i < oldEnd && j < newEnd && old[i] == fresh[j]) {
            unplaced.remove(fresh[j]);
            kept(i, j);
            if (i == follow)
                followed.row = static_cast<int>(j);
            split_ = ++j;
            oldAt_ = ++i;
            continue;
        }
        qsizetype run = 0;
        while (i + run < oldEnd && !unplaced.contains(old[i + run]))
            ++run;
        if (run > 0) {
            if (follow >= i && follow < i + run)
                goneAt = j;
            beginRemoveRows({}, static_cast<int>(split_), static_cast<int>(split_ + run - 1));
            i += run;
            oldAt_ = i;
            endRemoveRows();
            continue;
        }
        // (a name listed anew further on is placed there, its old row gone)
        while (j + run < newEnd && (i >= oldEnd || fresh[j + run] != old[i]))
            unplaced.remove(fresh[j + run++]);
        beginInsertRows({}, static_cast<int>(split_), static_cast<int>(split_ + run - 1));
        j += run;
        split_ = j;
        endInsertRows();
    }
    split_ = -1;
    if (goneAt >= 0) {
        followed.gone = true;
        followed.row = newCount > 0 ? static_cast<int>(std::min(goneAt, newCount - 1)) : -1;
    }
    if (changedFrom >= 0)
        emit dataChanged(index(static_cast<int>(changedFrom)), index(static_cast<int>(changedTo)));
    return followed;
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
            // Not for a window closed meanwhile (its close asked during the step that
            // found the drive gone): its lists would load it again.
            QTimer::singleShot(0, drives, [drives = QPointer(drives), lost] {
                if (drives)
                    afterWaits(drives, [drives, lost] {
                        if (drives->window()->isVisible())
                            drives->moveToProgramDrive(lost);
                    });
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

void followLabels(QWidget* window, const FilePath& from, const FilePath& to) {
    const QString textPrefix = from.text.endsWith(kSeparator) ? from.text : from.text + kSeparator;
    const QByteArray nativePrefix = from.native.endsWith('/') ? from.native : from.native + '/';
    for (LabelWidget* label : window->findChildren<LabelWidget*>())
        if (label->file().startsWith(nativePrefix) && label->caption().startsWith(textPrefix))
            label->setCaption(entryPath(to, {label->caption().mid(textPrefix.size()), {}}).text,
                              entryPath(to, {{}, label->file().mid(nativePrefix.size())}).native);
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
    const int scrolled = before.offset >= 0 && current.isValid() ? std::max(0, current.row() - before.offset)
                                                                 : before.scrolled;
    QScrollBar* bar = list->verticalScrollBar();
    if (scrolled == bar->value())
        return;
    if (scrolled > bar->maximum())
        list->doItemsLayout(); // rows came: the scroll range grows with the layout, due later
    bar->setValue(scrolled);
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
