#pragma once
// The drive, folder and file lists behind the controls. Only the platform layer
// includes this. Each list raises its event through a plain callback that its control
// handle sets (onChange when Drive or Path changes, onClick for the file list), not a
// Qt signal: a handler that fails nested inside an assignment unwinds back through the
// assignment, and must not unwind through Qt's signal dispatch.
#include "platform/design.h"
#include "platform/filesystem.h"

#include <QComboBox>
#include <QListView>
#include <QStringList>
#include <functional>
#include <vector>

namespace kv {

// Every row of the folder and file lists is this high, in pixels.
inline constexpr int kListRowHeight = 15;

// What a row of the folder list holds besides its text: how far it is indented, how
// deep its folder lies in the drive's tree (the drive itself is 1), and whether its
// folder is open (the folder shown or one on the way down to it).
enum FolderRowRole { kFolderIndentRole = Qt::UserRole, kFolderDepthRole, kFolderOpenRole };

class DriveListWidget : public QComboBox {
    Q_OBJECT
public:
    DriveListWidget(const ControlDesign& d, QWidget* parent);
    const QString& drive() const { return drive_; }
    // Makes current the drive that holds the path; emits changed() if that is another drive.
    void setDrive(const QString& path);
    // Makes current the drive that holds the path without raising Change.
    void restoreDrive(const QString& path);
    void showPopup() override;
    // After the drive `lost` went away: the program folder's drive becomes current, at
    // the program folder, and Change is raised.
    void moveToProgramDrive(const QString& lost);
    std::function<void()> onChange;

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void refill();
    void userPicked(int index);
    QString drive_;
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

// F5 in any of the three lists: the drives, the folder list's folder and the file
// list's files are read again (what no notice of the system reports: another drive, a
// network share).
void readListsAgain(QWidget* list);

class FolderWatch;

class FolderModel;

class DirListWidget : public QListView {
    Q_OBJECT
public:
    DirListWidget(const ControlDesign& d, QWidget* parent);
    const QString& path() const { return path_; }
    // The mount point of the drive whose tree the list shows.
    const QString& root() const { return root_; }
    // Shows the folder (for a drive's text, that drive's current folder). Emits changed()
    // when the path really changes. Throws, and changes nothing, when the folder cannot
    // be opened.
    void setPath(const QString& path);
    // The full path of the folder on a row.
    QString rowPath(int row) const;
    int rowCount() const;
    // Opens the folder on a row, as a double-click on it does.
    void openRow(int row);
    // Reads the folder shown again, keeping the current row, raising nothing.
    void readAgain();
    std::function<void()> onChange;

protected:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* e) const override;

private:
    void open(const QModelIndex& index);
    void fill(const FilePath& folder, const QList<FilePath>& subfolders);
    FolderModel* model_;
    FolderWatch* watch_;
    QString path_;
    QByteArray native_;      // the folder shown, as the system knows it
    QString root_;           // the mount point of the drive whose tree the list shows
    bool rereading_ = false; // the rows read again: the same folder, nothing new to hear
    bool listed_ = false;
};

class FileModel;

class FileListWidget : public QListView {
    Q_OBJECT
public:
    FileListWidget(const ControlDesign& d, QWidget* parent);
    const QString& path() const { return path_; }
    // Lists the folder's matching files (nothing happens when it is the folder shown).
    // Throws, and changes nothing, when the folder cannot be opened.
    void setPath(const QString& path);
    const QString& pattern() const { return pattern_; }
    // The selected file's name without folder; empty when none is selected.
    QString fileName() const;
    // The selected file's full path, as shown and as its row holds it.
    FilePath filePath() const;
    const QStringList& fileNames() const;
    // Selects an entry as the user would, raising Click.
    void choose(int row);
    // Selects the entry of the file of that name (its bytes) as a click on it would,
    // brought into view and with the focus; false, and nothing happens, when the list
    // does not show that file.
    bool chooseFile(const QByteArray& name);
    // Reads the folder's files again, keeping the chosen file chosen, raising nothing.
    void readAgain();
    std::function<void()> onClick;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* e) const override;

private:
    void clicked();
    bool chooseRow(int row);
    void showFiles(const QList<FilePath>& files);
    // Tells screen readers that the chosen entry has the focus, unless the move that
    // chose it told them already.
    void announceChoice();
    QPersistentModelIndex announced_; // the entry they last heard of in this move
    FileModel* model_;
    FolderWatch* watch_;
    QString path_;
    QByteArray native_; // the folder, as the system knows it
    QString pattern_;
    bool rereading_ = false; // the rows read again: the same file, nothing new to hear
    bool listed_ = false;
};

} // namespace kv
