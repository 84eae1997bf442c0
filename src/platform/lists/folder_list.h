#pragma once
// The folder list behind its control: the drive's tree from its mount point down to the
// folder shown, and that folder's subfolders.
#include "platform/ui/design.h"
#include "platform/world/filesystem.h"

#include <QListView>
#include <functional>
#include <vector>

namespace kv {

// What a row of the folder list holds besides its text: how far it is indented, how
// deep its folder lies in the drive's tree (the drive itself is 1), and whether its
// folder is open (the folder shown or one on the way down to it).
enum FolderRowRole { kFolderIndentRole = Qt::UserRole, kFolderDepthRole, kFolderOpenRole };

class FolderWatch;
class PathWatch;
class RuntimeError;
class FolderModel;
struct FolderRow;

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
    // Reads the folder shown again, keeping the current row where the user sees it,
    // raising nothing. A folder that went is left, one that can no longer be read shows
    // no subfolder; the user is told either way, and false returned.
    // `again`: the path may lead to another folder now (a link pointed elsewhere).
    bool readAgain(bool again = false);
    std::function<void()> onChange;

protected:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void keyPressEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void showEvent(QShowEvent* e) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* e) const override;

private:
    void open(const QModelIndex& index);
    void unreadable(const RuntimeError& error);
    void fill(const FilePath& folder, const QList<FilePath>& subfolders);
    void watchPath(const FilePath& folder, bool again);
    void followMoved(const QByteArray& to);
    void pathChanged();
    std::vector<FolderRow> rowsOf(const FilePath& folder, const QList<FilePath>& subfolders) const;
    FolderModel* model_;
    FolderWatch* watch_;
    PathWatch* pathWatch_;
    QByteArray pathWatched_; // the path that pathWatch_ follows
    QString path_;
    QByteArray native_;      // the folder shown, as the system knows it
    QString root_;           // the mount point of the drive whose tree the list shows
    bool rereading_ = false; // the rows read again: the same folder, nothing new to hear
    bool listed_ = false;
};

} // namespace kv
