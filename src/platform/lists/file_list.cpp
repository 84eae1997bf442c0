#include "platform/lists/file_list.h"

#include "platform/lists/folder_watch.h"
#include "platform/lists/list_rows.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime_error.h"
#include "platform/ui/drag_drop.h"
#include "platform/world/filesystem.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

namespace kv {

class FileModel : public RereadModel {
public:
    using RereadModel::RereadModel;
    QStringList names;
    QList<QByteArray> natives; // each row's name as the system knows it
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : shownRows(names.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount())
            return {};
        const Source at = source(index.row());
        return at.fresh ? names.at(at.index) : oldNames_.at(at.index);
    }
    void reset(const QList<FilePath>& files) {
        beginResetModel();
        take(files);
        endResetModel();
    }
    // The same folder read again: the rows follow it in place (see RereadModel).
    Followed update(const QList<FilePath>& files, int follow) {
        oldNames_ = std::move(names);
        QList<QByteArray> oldNatives = std::move(natives);
        take(files);
        const Followed followed =
            RereadModel::update(oldNatives, natives, follow, [&](qsizetype was, qsizetype is) {
                return oldNames_.at(was) != names.at(is);
            });
        oldNames_.clear();
        return followed;
    }

private:
    void take(const QList<FilePath>& files) {
        names.clear();
        natives.clear();
        names.reserve(files.size());
        natives.reserve(files.size());
        for (const FilePath& f : files) {
            names.append(f.text);
            natives.append(f.native);
        }
    }
    QStringList oldNames_; // while an update is under way
};

FileListWidget::FileListWidget(const ControlDesign& d, QWidget* parent)
    : QListView(parent), model_(new FileModel(this)),
      watch_(new FolderWatch(this, false, [this] { readAgain(); })),
      pattern_(d.pattern ? QString::fromUtf8(d.pattern) : QStringLiteral("*.*")) {
    styleList(this, d);
    setItemDelegate(new RowDelegate(this));
    setModel(model_);
    // At first the working folder, read when the list is first shown unless a path is
    // set before that.
    path_ = cleanPath(QDir::currentPath());
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && selectionModel()->isSelected(index))
            clicked();
    });
}

void FileListWidget::showFiles(const QList<FilePath>& files) {
    model_->reset(files);
    watch_->watch(native_, driveOf(path_, mountedDrives()));
    listed_ = true;
}

void FileListWidget::setPath(const QString& path) {
    const QString folder = cleanPath(path);
    if (folder == path_ && listed_)
        return;
    const auto [shown, files] = readFolderOnDrive(folder, false, pattern_); // throws before anything changes
    path_ = folder;
    native_ = shown.native;
    showFiles(files);
}

void FileListWidget::followMoved(const FilePath& from, const FilePath& to) {
    if (!listed_ || path_ != from.text)
        return;
    path_ = to.text;
    native_ = to.native;
    readAgain();
}

void FileListWidget::readAgain(bool again) {
    if (!listed_)
        return;
    QList<FilePath> files;
    try {
        files = readEntriesOnDrive({path_, native_}, false, pattern_);
    } catch (const RuntimeError& e) {
        // A folder gone or unreadable is the folder list's to tell and leave; a drive that
        // does not answer is left at once.
        if (e.code() == ErrorCode::DeviceUnavailable)
            reportError(e);
        return;
    }
    // The rows of the files still there stay, the chosen one chosen and the current one
    // current, where the user sees it. A current row that went leaves the focus on the row
    // in its place, told once: nothing else of a re-read is told, being no move of the
    // user's.
    const RowInView inView = rowInView(this);
    const QModelIndex was = currentIndex();
    rereading_ = true;
    const FileModel::Followed followed = model_->update(files, was.isValid() ? was.row() : -1);
    if (followed.gone && followed.row >= 0)
        selectionModel()->setCurrentIndex(model_->index(followed.row), QItemSelectionModel::NoUpdate);
    rereading_ = false;
    watch_->watch(native_, driveOf(path_, mountedDrives()), again);
    keepInView(this, inView);
    if (followed.gone && followed.row >= 0) {
        announced_ = currentIndex();
        inPlace_ = currentIndex();
        tellFocusedRow(this, followed.row);
    }
}

void FileListWidget::clearRows() {
    showFiles({});
}

QString FileListWidget::fileName() const {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || !selectionModel()->isSelected(current))
        return {};
    return model_->names.value(current.row());
}

FilePath FileListWidget::filePath() const {
    const QModelIndex current = currentIndex();
    FilePath name;
    if (current.isValid() && selectionModel()->isSelected(current))
        name = {model_->names.value(current.row()), model_->natives.value(current.row())};
    return entryPath({path_, native_}, name);
}

const QStringList& FileListWidget::fileNames() const {
    return model_->names;
}

void FileListWidget::choose(int row) {
    const QModelIndex index = model_->index(row);
    if (!index.isValid())
        return;
    announced_ = QModelIndex();
    setCurrentIndex(index);
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
    clicked();
}

void FileListWidget::clicked() {
    announceChoice();
    if (leaveLostDrive(this, {path_}))
        return;
    if (onClick)
        onClick();
}

QItemSelectionModel::SelectionFlags FileListWidget::selectionCommand(const QModelIndex& index,
                                                                     const QEvent* e) const {
    // (rows removed by a re-read move the current row, never the choice)
    if (rereading_)
        return QItemSelectionModel::NoUpdate;
    return keepSelection(QListView::selectionCommand(index, e));
}

bool FileListWidget::chooseFile(const QByteArray& name) {
    return chooseRow(static_cast<int>(model_->natives.indexOf(name)));
}

bool FileListWidget::chooseRow(int row) {
    if (row < 0)
        return false;
    // A click gives the list the focus too, so the keyboard goes on from that entry.
    setFocus(Qt::MouseFocusReason);
    scrollTo(model_->index(row));
    choose(row);
    return true;
}

void FileListWidget::announceChoice() {
    const QModelIndex chosen = currentIndex();
    if (!hasFocus() || !chosen.isValid() || chosen == announced_)
        return;
    announced_ = chosen;
    tellFocusedRow(this, chosen.row());
}

void FileListWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Qt's list tells screen readers of the new current row, even when the keyboard is
    // elsewhere: told only when the list has the focus, and not for a re-read, which is
    // no move of the user's.
    if (rereading_ || !hasFocus()) {
        QAbstractItemView::currentChanged(current, previous);
        return;
    }
    QListView::currentChanged(current, previous);
    if (hasFocus())
        announced_ = current;
}

void FileListWidget::mousePressEvent(QMouseEvent* e) {
    announced_ = QModelIndex(); // a new move
    const QModelIndex row = indexAt(e->position().toPoint());
    if (e->button() == Qt::LeftButton && e->modifiers() == Qt::NoModifier && row.isValid()) {
        pressedRow_ = row;
        pressedAt_ = e->position();
        setFocus(Qt::MouseFocusReason);
        return;
    }
    pressedRow_ = QModelIndex();
    QListView::mousePressEvent(e);
}

void FileListWidget::mouseMoveEvent(QMouseEvent* e) {
    if (!pressedRow_.isValid()) {
        QListView::mouseMoveEvent(e);
        return;
    }
    if ((e->buttons() & Qt::LeftButton) &&
        (e->position() - pressedAt_).manhattanLength() >= QApplication::startDragDistance()) {
        const QModelIndex row = pressedRow_;
        pressedRow_ = QModelIndex();
        dragRow(row);
    }
}

void FileListWidget::mouseReleaseEvent(QMouseEvent* e) {
    if (pressedRow_.isValid()) {
        // A click after all: the press is made now, where it was.
        pressedRow_ = QModelIndex();
        QMouseEvent press(QEvent::MouseButtonPress, pressedAt_, mapToGlobal(pressedAt_), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QListView::mousePressEvent(&press);
    }
    QListView::mouseReleaseEvent(e);
}

void FileListWidget::dragRow(const QModelIndex& row) {
    if (!row.isValid() || row.row() >= model_->natives.size())
        return;
    const FilePath file =
        entryPath({path_, native_}, {model_->names.at(row.row()), model_->natives.at(row.row())});
    auto* data = new QMimeData;
    putFiles(*data, {file.native});
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    const QRect shown = visualRect(row).intersected(viewport()->rect());
    drag->setPixmap(viewport()->grab(shown));
    drag->setHotSpot(pressedAt_.toPoint() - shown.topLeft());
    // Offered to be copied or linked, never moved: the file stays where it is.
    drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
}

void FileListWidget::focusInEvent(QFocusEvent* e) {
    QListView::focusInEvent(e);
    // Screen readers hear of the list itself first; then of the chosen figure in it.
    announced_ = QModelIndex();
    QTimer::singleShot(0, this, [this] {
        if (selectionModel()->isSelected(currentIndex()))
            announceChoice();
    });
}

void FileListWidget::focusOutEvent(QFocusEvent* e) {
    announced_ = QModelIndex();
    QListView::focusOutEvent(e);
}

void FileListWidget::keyPressEvent(QKeyEvent* e) {
    announced_ = QModelIndex(); // a new move
    if (e->key() == Qt::Key_F5) {
        readListsAgain(this);
        e->accept();
        return;
    }
    // While no file is chosen (a fresh folder), the first move chooses one: the keys
    // that go up or stay choose the first figure, those that go to the end the last.
    // The list's current row alone would make Down skip the first figure and leave
    // Home and Space with nothing to do. A row that took the place of the chosen file,
    // gone from the disk, is current as the user was told: the keys go on from it, and
    // one that stays on it chooses it.
    const bool unchosen = !selectionModel()->hasSelection() && !model_->names.isEmpty() &&
                          !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    const bool inPlace = unchosen && inPlace_.isValid() && currentIndex() == inPlace_;
    int row = -1;
    switch (e->key()) {
    case Qt::Key_Down:
    case Qt::Key_Up:
    case Qt::Key_Home:
    case Qt::Key_PageUp:
    case Qt::Key_Space:
        row = 0;
        break;
    case Qt::Key_End:
    case Qt::Key_PageDown:
        row = static_cast<int>(model_->names.size()) - 1;
        break;
    default:
        break;
    }
    if (unchosen && !inPlace && row >= 0) {
        e->accept();
        choose(row);
        return;
    }
    // The selection moved by keyboard (arrows, Home/End, pages, type-ahead) counts as a
    // click on the entry it moved to, so the picture follows the keyboard.
    const QModelIndex before = currentIndex();
    QListView::keyPressEvent(e);
    const QModelIndex after = currentIndex();
    if (after.isValid() && (after != before || (inPlace && row >= 0))) {
        selectionModel()->select(after, QItemSelectionModel::ClearAndSelect);
        clicked();
    }
}

void FileListWidget::showEvent(QShowEvent* e) {
    if (!listed_) {
        try {
            const auto [shown, files] = readFolderOnDrive(path_, false, pattern_);
            native_ = shown.native;
            showFiles(files);
        } catch (const RuntimeError&) {
            showFiles({});
        }
    }
    QListView::showEvent(e);
}

} // namespace kv
