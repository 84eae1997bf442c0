#include "platform/lists/folder_list.h"

#include "platform/lists/file_list.h"
#include "platform/lists/folder_watch.h"
#include "platform/lists/list_rows.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/filesystem.h"

#include <QAbstractListModel>
#include <QDir>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <vector>

namespace kv {

namespace {
// The folder marks of the list, drawn here rather than looked up in an icon theme
// (which costs a search through the theme's folders at start-up): a yellow folder,
// its flap raised when open.
QIcon folderMark(bool open) {
    QPixmap pm(13, 13);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QColor edge(0x80, 0x80, 0x00), face(0xFF, 0xE0, 0x70), flap(0xFF, 0xF4, 0xB0);
    p.setPen(edge);
    p.setBrush(face);
    p.drawRect(0, 3, 11, 8);
    p.drawRect(0, 2, 4, 1);
    if (open) {
        p.setBrush(flap);
        p.drawPolygon(QPolygon({QPoint(2, 6), QPoint(12, 6), QPoint(10, 11), QPoint(0, 11)}));
    }
    return QIcon(pm);
}
} // namespace

struct FolderRow {
    QString name;
    QString path;      // an open row's; a subfolder's is its folder's path and its name
    QByteArray native; // as the system knows it: the path of an open row, a subfolder's name
    int level;         // how far the row is indented
    bool open;         // a folder on the way down to the current one, or the current one
    int depth;         // in the drive's tree: the drive itself is 1
};

class FolderModel : public RereadModel {
public:
    using RereadModel::RereadModel;
    std::vector<FolderRow> rows;
    QString subfolderPrefix; // the open folder's path and a separator
    QIcon openIcon, closedIcon;

    // The full path of a row's folder; made when asked, not kept for each subfolder.
    QString pathOf(const FolderRow& r) const { return r.open ? r.path : subfolderPrefix + r.name; }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : shownRows(static_cast<qsizetype>(rows.size()));
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount())
            return {};
        const Source at = source(index.row());
        const FolderRow& r = (at.fresh ? rows : oldRows_)[static_cast<size_t>(at.index)];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return role == Qt::DisplayRole ? r.name : pathOf(r);
        case Qt::DecorationRole:
            return r.open ? openIcon : closedIcon;
        case kFolderIndentRole:
            return r.level;
        case kFolderDepthRole:
            return r.depth;
        case kFolderOpenRole:
            return r.open;
        default:
            return {};
        }
    }
    void reset(std::vector<FolderRow> newRows, const QString& prefix) {
        beginResetModel();
        rows = std::move(newRows);
        subfolderPrefix = prefix;
        endResetModel();
    }
    // The same folder read again: the rows follow it in place (see RereadModel), each
    // found again by its bytes (an open row's path, a subfolder's name).
    Followed update(std::vector<FolderRow> newRows, int follow) {
        oldRows_ = std::exchange(rows, std::move(newRows));
        const Followed followed =
            RereadModel::update(keys(oldRows_), keys(rows), follow, [&](qsizetype was, qsizetype is) {
                const FolderRow& a = oldRows_[static_cast<size_t>(was)];
                const FolderRow& b = rows[static_cast<size_t>(is)];
                return a.name != b.name || a.level != b.level || a.open != b.open || a.depth != b.depth;
            });
        oldRows_.clear();
        return followed;
    }

private:
    static QList<QByteArray> keys(const std::vector<FolderRow>& of) {
        QList<QByteArray> k;
        k.reserve(static_cast<qsizetype>(of.size()));
        for (const FolderRow& r : of)
            k.append(r.native);
        return k;
    }
    std::vector<FolderRow> oldRows_; // while an update is under way
};

namespace {
// Indents each folder row by its level below the root. Deep down, the indent stops
// growing: the open folder's subfolders are indented at most this many steps, and the
// folders above shift left, those highest up sharing the list's left edge, so that the
// open folder and its subfolders stay readable in the list's width.
constexpr int kMaxIndentLevel = 6;

class FolderDelegate : public RowDelegate {
public:
    using RowDelegate::RowDelegate;
    static constexpr int kIndent = 5;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem o(option);
        o.rect.setLeft(o.rect.left() + index.data(kFolderIndentRole).toInt() * kIndent);
        RowDelegate::paint(painter, o, index);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize s = RowDelegate::sizeHint(option, index);
        s.rwidth() += index.data(kFolderIndentRole).toInt() * kIndent;
        return s;
    }
};
} // namespace

DirListWidget::DirListWidget(const ControlDesign& d, QWidget* parent)
    : QListView(parent), model_(new FolderModel(this)),
      watch_(new FolderWatch(
          this, true, [this] { readAgain(); }, [this] { pathChanged(); })),
      pathWatch_(new PathWatch(
          this, [this](const QByteArray& to) { followMoved(to); }, [this] { pathChanged(); })) {
    styleList(this, d);
    model_->openIcon = folderMark(true);
    model_->closedIcon = folderMark(false);
    setIconSize(QSize(13, 13));
    setItemDelegate(new FolderDelegate(this));
    setModel(model_);
    // At first the working folder, in its drive's tree; it is read when the list is
    // first shown, unless a path is set before that (nothing is asked of its drive
    // before: it may be a share that gives no answer).
    path_ = cleanPath(QDir::currentPath());
    root_ = mountPointOf(driveOf(path_, mountedDrives()));
    connect(this, &QAbstractItemView::doubleClicked, this, &DirListWidget::open);
}

std::vector<FolderRow> DirListWidget::rowsOf(const FilePath& folder,
                                             const QList<FilePath>& subfolders) const {
    std::vector<FolderRow> rows;
    // The tree starts at its drive's mount point: the path from there down. The parts of
    // the path's text and of its bytes go one for one.
    const QStringList parts = folder.text.mid(root_.size()).split(kSeparator, Qt::SkipEmptyParts);
    const QList<QByteArray> nativeParts = folder.native.split('/');
    const int level = static_cast<int>(parts.size()) + 1; // of the subfolders
    const int shift = std::max(0, level - kMaxIndentLevel);
    const auto indent = [shift](int depth) { return std::max(0, depth - shift); };
    QByteArray native = folder.native;
    for (qsizetype i = 0; i < parts.size() && native != "/"; ++i)
        native.truncate(std::max<qsizetype>(1, native.lastIndexOf('/')));
    rows.push_back({root_, root_, native, 0, true, 1});
    QString so_far = root_ == QLatin1String("/") ? QString() : root_;
    for (int i = 0; i < parts.size(); ++i) {
        so_far += kSeparator + parts[i];
        native += (native.endsWith('/') ? "" : "/") + nativeParts.at(nativeParts.size() - parts.size() + i);
        rows.push_back({parts[i], so_far, native, indent(i + 1), true, i + 2});
    }
    rows.reserve(rows.size() + static_cast<size_t>(subfolders.size()));
    for (const FilePath& sub : subfolders)
        rows.push_back({sub.text, {}, sub.native, indent(level), false, level + 1});
    return rows;
}

void DirListWidget::fill(const FilePath& folder, const QList<FilePath>& subfolders) {
    std::vector<FolderRow> rows = rowsOf(folder, subfolders);
    // The open folder: the last of the open rows.
    int currentRow = 0;
    while (currentRow + 1 < static_cast<int>(rows.size()) && rows[static_cast<size_t>(currentRow) + 1].open)
        ++currentRow;
    model_->reset(std::move(rows), folder.text.endsWith(kSeparator) ? folder.text : folder.text + kSeparator);
    watchPath(folder, false);
    setCurrentIndex(model_->index(currentRow));
    scrollTo(currentIndex(), QAbstractItemView::PositionAtTop);
    listed_ = true;
}

void DirListWidget::setPath(const QString& path) {
    const QStringList drives = mountedDrives();
    // A drive's text stands for that drive's current folder, in that drive's tree. A
    // folder is shown in the tree shown, when it lies there, or in its own drive's.
    const bool drive = isDriveText(path);
    const QString folder = drive ? currentFolderOf(path) : cleanPath(path);
    const QString root = drive                     ? mountPointOf(path)
                         : isWithin(folder, root_) ? root_
                                                   : mountPointOf(driveOf(folder, drives));
    if (folder == path_ && root == root_ && listed_)
        return;
    const auto [shown, subfolders] = readFolderOnDrive(folder, true); // throws before anything changes
    const bool changedPath = folder != path_;
    path_ = folder;
    native_ = shown.native;
    root_ = root;
    setCurrentFolderOf(driveText(root_), folder);
    fill(shown, subfolders);
    if (changedPath)
        if (onChange)
            onChange();
}

QString DirListWidget::rowPath(int row) const {
    return model_->pathOf(model_->rows.at(static_cast<size_t>(row)));
}

int DirListWidget::rowCount() const {
    return model_->rowCount();
}

void DirListWidget::openRow(int row) {
    open(model_->index(row));
}

void DirListWidget::watchPath(const FilePath& folder, bool again) {
    const QString place = driveOf(folder.text, mountedDrives());
    watch_->watch(folder.native, place, again);
    if (again || folder.native != pathWatched_) {
        pathWatched_ = folder.native;
        pathWatch_->watch(folder.native, place);
    }
}

void DirListWidget::pathChanged() {
    // The folder itself went or changed, or its path may lead elsewhere now: the files
    // follow what it is now.
    if (readAgain(true))
        if (auto* files = window()->findChild<FileListWidget*>())
            files->readAgain(true);
}

void DirListWidget::followMoved(const QByteArray& to) {
    if (!listed_)
        return;
    FolderListing moved;
    try {
        moved = readOnDrive<FolderListing>(path_, [to] {
            const FilePath folder{cleanPath(pathFromNative(to)), to};
            return FolderListing{folder, readSubfolders(folder)};
        });
    } catch (const RuntimeError&) {
        pathChanged(); // gone again meanwhile: what the old path leads to now is told
        return;
    }
    // The lists follow the folder to its new name, as a file manager does; what the
    // user chose in it stays chosen.
    const FilePath from{path_, native_};
    path_ = moved.folder.text;
    native_ = moved.folder.native;
    setCurrentFolderOf(driveText(root_), path_);
    fill(moved.folder, moved.entries);
    if (auto* files = window()->findChild<FileListWidget*>())
        files->followMoved(from, moved.folder);
    followLabels(window(), from, moved.folder);
}

bool DirListWidget::readAgain(bool again) {
    if (!listed_)
        return true;
    const FilePath shown{path_, native_};
    QList<FilePath> subfolders;
    try {
        subfolders = readEntriesOnDrive(shown, true);
    } catch (const RuntimeError& e) {
        unreadable(e);
        return false;
    }
    // The rows of the folders still there stay, the current one current and where the
    // user sees it. A current row that went leaves the focus, highlighted, on the row in
    // its place, told once: nothing else of a re-read is told, being no move of the user's.
    const RowInView inView = rowInView(this);
    const QModelIndex was = currentIndex();
    rereading_ = true;
    const FolderModel::Followed followed =
        model_->update(rowsOf(shown, subfolders), was.isValid() ? was.row() : -1);
    if (followed.gone && followed.row >= 0)
        selectionModel()->setCurrentIndex(model_->index(followed.row), QItemSelectionModel::ClearAndSelect);
    rereading_ = false;
    watchPath(shown, again);
    keepInView(this, inView);
    if (followed.gone && followed.row >= 0)
        tellFocusedRow(this, followed.row);
    return true;
}

void DirListWidget::unreadable(const RuntimeError& error) {
    if (error.code() != ErrorCode::DeviceUnavailable && leaveLostDrive(this, {path_, root_}))
        return; // the drive itself went (a stick pulled out): told and left as such
    if (error.code() == ErrorCode::PermissionDenied) {
        // Nothing in it can be read any more: its rows go, and the files'.
        fill({path_, native_}, {});
        if (auto* files = window()->findChild<FileListWidget*>())
            files->clearRows();
    }
    reportError(error);
    if (error.code() == ErrorCode::PathNotFound)
        leaveGoneFolder(this, path_);
}

void DirListWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Qt's list tells screen readers of the new current row, even when the keyboard is
    // elsewhere: told only when the list has the focus, and not for a re-read, which is
    // no move of the user's.
    if (rereading_ || !hasFocus())
        QAbstractItemView::currentChanged(current, previous);
    else
        QListView::currentChanged(current, previous);
}

void DirListWidget::focusInEvent(QFocusEvent* e) {
    QListView::focusInEvent(e);
    // Screen readers hear of the list itself first; then of its current row, the open
    // folder at first (a click tells of the row it lands on by itself).
    if (e->reason() != Qt::MouseFocusReason)
        QTimer::singleShot(0, this, [this] {
            if (hasFocus() && currentIndex().isValid())
                tellFocusedRow(this, currentIndex().row());
        });
}

void DirListWidget::open(const QModelIndex& index) {
    if (!index.isValid())
        return;
    const FolderRow& row = model_->rows.at(static_cast<size_t>(index.row()));
    const FilePath target{model_->pathOf(row),
                          row.open ? row.native : entryPath({path_, native_}, {row.name, row.native}).native};
    if (leaveLostDrive(this, {path_, root_}))
        return;
    raiseEvent([this, target] {
        // Opened from the list itself, a row always means that very folder, in the tree
        // shown (another drive mounted further down is entered as a folder of it).
        QList<FilePath> subfolders;
        try {
            subfolders = readEntriesOnDrive(target, true);
        } catch (const RuntimeError& e) {
            // The folder shown went with it: the lists leave it once the user was told.
            if (e.code() == ErrorCode::PathNotFound && !folderThere(path_))
                QTimer::singleShot(0, this, [this, gone = path_] { leaveGoneFolder(this, gone); });
            throw;
        }
        if (target.text == path_)
            return;
        path_ = target.text;
        native_ = target.native;
        setCurrentFolderOf(driveText(root_), path_);
        fill(target, subfolders);
        if (onChange)
            onChange();
    });
}

void DirListWidget::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        open(currentIndex());
        e->accept();
        return;
    }
    if (e->key() == Qt::Key_F5) {
        readListsAgain(this);
        e->accept();
        return;
    }
    QListView::keyPressEvent(e);
}

QItemSelectionModel::SelectionFlags DirListWidget::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* e) const {
    // (rows removed by a re-read move the current row, the highlight with it after)
    if (rereading_)
        return QItemSelectionModel::NoUpdate;
    return keepSelection(QListView::selectionCommand(index, e));
}

void DirListWidget::showEvent(QShowEvent* e) {
    if (!listed_) {
        try {
            const auto [shown, subfolders] = readFolderOnDrive(path_, true);
            native_ = shown.native;
            fill(shown, subfolders);
        } catch (const RuntimeError&) {
            native_ = path_.toUtf8();
            fill({path_, native_}, {}); // the working folder cannot be read: just its path
        }
    }
    QListView::showEvent(e);
}

} // namespace kv
