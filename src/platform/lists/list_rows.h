#pragma once
// What the drive, folder and file lists share: the height and painting of their rows,
// the model whose rows a re-read brings up to date in place, and the move that leaves a
// drive taken away. Only the platform layer includes the
// lists' headers. Each list raises its event through a plain callback that its control
// handle sets (onChange when Drive or Path changes, onClick for the file list), not a
// Qt signal: a handler that fails nested inside an assignment unwinds back through the
// assignment, and must not unwind through Qt's signal dispatch.
#include "platform/ui/design.h"
#include "platform/world/bounded_wait.h"
#include "platform/world/filesystem.h"

#include <QAbstractListModel>
#include <QListView>
#include <QStringList>
#include <QStyledItemDelegate>
#include <functional>

class QComboBox;

namespace kv {

// What the lists tell screen readers, they tell through this hook: the windows'
// accessibility sets it when it is installed, and until then the lists tell nobody.
// The lists know nothing of the accessibility above them.
struct RowAnnouncer {
    // The keyboard focus is on a row of a list (which has it).
    void (*focusedRow)(QAbstractItemView* list, int row) = nullptr;
    // A closed pop-up list (the drive list) shows another entry.
    void (*shownEntry)(QComboBox* list) = nullptr;
    // A closed pop-up list moved to another entry (with the keyboard).
    void (*chosenEntry)(QComboBox* list) = nullptr;
    // A pop-up list opened, on the row it opened on.
    void (*popupRow)(QComboBox* list) = nullptr;
};
void setRowAnnouncer(const RowAnnouncer& announcer);

// The lists' side of the hook: each passes the news on when the hook is set.
void tellFocusedRow(QAbstractItemView* list, int row);
void tellShownEntry(QComboBox* list);
void tellChosenEntry(QComboBox* list);
void tellPopupRow(QComboBox* list);

// Every row of the folder and file lists is this high, in pixels.
inline constexpr int kListRowHeight = 15;

// The look and behaviour the folder and file lists share: the design's colours, a
// sunken frame, one row selected at a time, no horizontal scrolling.
void styleList(QListView* v, const ControlDesign& d);

// The row a list's selection stays on: no modifier or key ever clears it, a click on
// the highlighted row with Ctrl held keeps it highlighted.
QItemSelectionModel::SelectionFlags keepSelection(QItemSelectionModel::SelectionFlags flags);

// Rows of one fixed height.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kListRowHeight);
    }
};

// A list model whose rows a re-read of the same folder brings up to date in place: the
// row of an entry that is still there (found again by its name's bytes) stays the same
// row, so that the current and the chosen row, and what screen readers hold of them,
// stay; the rows of entries gone are removed and those of new entries inserted, each run
// of them in one step.
class RereadModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    // Where an old row went: its new row, or, when its entry went, the row now in its
    // place (-1 when the list is empty).
    struct Followed {
        int row = -1;
        bool gone = false;
    };

protected:
    // While the rows are brought up to date, the rows shown before split_ are new rows
    // and the others old ones, from oldAt_ on.
    struct Source {
        bool fresh;
        qsizetype index;
    };
    Source source(int row) const {
        if (split_ < 0 || row < split_)
            return {true, row};
        return {false, row - split_ + oldAt_};
    }
    int shownRows(qsizetype stored) const {
        return static_cast<int>(split_ < 0 ? stored : split_ + oldCount_ - oldAt_);
    }
    // Brings the rows shown from the old keys to the new ones, both in the order the
    // listing gives (the storage holds the new rows already, the old ones until this
    // returns). For each row that stays, readsOtherwise(old, new) says whether it shows
    // otherwise now; those rows are told changed, together. Follows the old row `follow`.
    Followed update(const QList<QByteArray>& old, const QList<QByteArray>& fresh, int follow,
                    const std::function<bool(qsizetype, qsizetype)>& readsOtherwise);

private:
    qsizetype split_ = -1; // no update under way
    qsizetype oldAt_ = 0;
    qsizetype oldCount_ = 0;
};

// A drive taken away while the lists show it (a stick pulled out: its folder stays,
// empty, so nothing fails by itself) is noticed when a list is next used: the mount
// table is read again, the user is told the disk is not ready, and the window's lists
// move to the program folder's drive. Returns whether the drive that holds one of the
// paths had gone.
bool leaveLostDrive(QWidget* list, const QStringList& paths);

// After the drive `lost` was found gone outside the lists (a figure copied from it):
// once the event that found it is over, the window's lists move as above.
void leaveLostDriveLater(const QString& lost);

// Reads from the drive that holds the path as a step that may wait on it (see
// bounded_wait.h): a drive that gives no answer within the limit is "Dispositivo no
// disponible", and the lists leave it as they leave a drive taken away.
template <class T> T readOnDrive(const QString& path, std::function<T()> step) {
    const QString drive = driveOf(path, mountedDrives());
    return waitOn<T>(
        drive, RuntimeError(ErrorCode::DeviceUnavailable, mountPointOf(drive)),
        [drive] { leaveLostDriveLater(drive); }, std::move(step));
}

// A folder's entries of one kind, read from its text as the lists show it: the folder's
// bytes are found on the way.
struct FolderListing {
    FilePath folder;
    QList<FilePath> entries;
};
FolderListing readFolderOnDrive(const QString& folder, bool subfolders, const QString& pattern = {});
// The same for a folder whose bytes are known.
QList<FilePath> readEntriesOnDrive(const FilePath& folder, bool subfolders, const QString& pattern = {});

// Whether the folder is there now, asked of its drive as above.
bool folderThere(const QString& folder);

// After the folder shown went (removed, or a folder on the way to it): the lists go to
// the program folder, or when that went too, to the nearest folder above that is still
// there, on its drive.
void leaveGoneFolder(QWidget* list, const QString& gone);

// The labels of a window that name a file in a folder that was renamed or moved name it
// where it is now.
void followLabels(QWidget* window, const FilePath& from, const FilePath& to);

// Where a list's current row stands in its view, to keep it there across a re-read that
// adds or removes rows above it: the first row shown, and the current row's distance
// from it when the user sees it.
struct RowInView {
    int scrolled;
    int offset; // -1: the current row was out of sight
};
RowInView rowInView(const QListView* list);
void keepInView(QListView* list, const RowInView& before);

// F5 in any of the three lists: the drives, the folder list's folder and the file
// list's files are read again (what no notice of the system reports: another drive, a
// network share).
void readListsAgain(QWidget* list);

} // namespace kv
