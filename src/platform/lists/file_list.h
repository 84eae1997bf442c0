#pragma once
// The file list behind its control: the files of one folder that match its pattern.
#include "platform/ui/design.h"
#include "platform/world/filesystem.h"

#include <QListView>
#include <QPersistentModelIndex>
#include <QStringList>
#include <functional>

namespace kv {

class FolderWatch;
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
    void readAgain(bool again = false);
    // The folder shown was renamed or moved (or one on the way to it): the list follows it.
    void followMoved(const FilePath& from, const FilePath& to);
    // Shows no file of the folder (one that can no longer be read).
    void clearRows();
    std::function<void()> onClick;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* e) const override;

private:
    void clicked();
    // Gives the file of the row to a drag out of the program.
    void dragRow(const QModelIndex& row);
    bool chooseRow(int row);
    void showFiles(const QList<FilePath>& files);
    // Tells screen readers that the chosen entry has the focus, unless the move that
    // chose it told them already.
    void announceChoice();
    QPersistentModelIndex announced_; // the entry they last heard of in this move
    QPersistentModelIndex inPlace_;   // the row told in place of the chosen file, gone
    FileModel* model_;
    FolderWatch* watch_;
    QString path_;
    QByteArray native_; // the folder, as the system knows it
    QString pattern_;
    bool rereading_ = false; // the rows read again: the same file, nothing new to hear
    bool listed_ = false;
    // A press on a row, held back until it is known to be a click (made on the release)
    // or the start of a drag (which chooses nothing).
    QPersistentModelIndex pressedRow_;
    QPointF pressedAt_;
};

} // namespace kv
