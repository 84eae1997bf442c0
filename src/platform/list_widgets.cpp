#include "platform/list_widgets.h"

#include "platform/accessibility.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/ole_color.h"
#include "platform/runtime_error.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>

namespace kv {

namespace {

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

// The row a list's selection stays on: no modifier or key ever clears it, a click on
// the highlighted row with Ctrl held keeps it highlighted.
QItemSelectionModel::SelectionFlags keepSelection(QItemSelectionModel::SelectionFlags flags) {
    if (flags & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
        return QItemSelectionModel::ClearAndSelect;
    return flags;
}

// Rows of one fixed height.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), kListRowHeight);
    }
};

} // namespace

// --- Drive list ---------------------------------------------------------------------

DriveListWidget::DriveListWidget(const ControlDesign&, QWidget* parent) : QComboBox(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setEditable(false);
    setSizeAdjustPolicy(QComboBox::AdjustToContentsOnFirstShow);
    // At first the drive of the working folder is current.
    drive_ = driveOf(QDir::currentPath(), mountedDrives());
    refill();
    connect(this, qOverload<int>(&QComboBox::activated), this, &DriveListWidget::userPicked);
}

void DriveListWidget::refill() {
    const QSignalBlocker quiet(this);
    QStringList drives = mountedDrives();
    if (!drives.contains(drive_))
        drives.append(drive_);
    clear();
    addItems(drives);
    setCurrentIndex(findText(drive_, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void DriveListWidget::showPopup() {
    // Media may have come or gone since the list was last shown.
    if (!leaveLostDrive(this, {mountPointOf(drive_)}))
        refill();
    QComboBox::showPopup();
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

void DriveListWidget::moveToProgramDrive(const QString& lost) {
    forgetCurrentFoldersOn(lost);
    const QString home = cleanPath(programFolder());
    drive_ = driveOf(home, mountedDrives());
    setCurrentFolderOf(drive_, home);
    refill();
    // Raised even when the program folder's drive was the current one: the folder
    // list may still show a folder of the drive that went.
    raiseEvent([this] {
        if (onChange)
            onChange();
    });
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

// --- Folder list --------------------------------------------------------------------

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
    QString path;
    int level; // how far the row is indented
    bool open; // a folder on the way down to the current one, or the current one
    int depth; // in the drive's tree: the drive itself is 1
};

class FolderModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    std::vector<FolderRow> rows;
    QIcon openIcon, closedIcon;

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(rows.size()))
            return {};
        const FolderRow& r = rows[static_cast<size_t>(index.row())];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return role == Qt::DisplayRole ? r.name : r.path;
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
    void reset(std::vector<FolderRow> newRows) {
        beginResetModel();
        rows = std::move(newRows);
        endResetModel();
    }
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
    : QListView(parent), model_(new FolderModel(this)) {
    styleList(this, d);
    model_->openIcon = folderMark(true);
    model_->closedIcon = folderMark(false);
    setIconSize(QSize(13, 13));
    setItemDelegate(new FolderDelegate(this));
    setModel(model_);
    // At first the working folder, in its drive's tree; it is read when the list is
    // first shown, unless a path is set before that.
    path_ = cleanPath(QDir::currentPath());
    root_ = mountPointOf(driveOf(path_, mountedDrives()));
    connect(this, &QAbstractItemView::doubleClicked, this, &DirListWidget::open);
}

void DirListWidget::fill(const QString& folder, const QStringList& subfolders) {
    std::vector<FolderRow> rows;
    // The tree starts at its drive's mount point: the path from there down.
    const QStringList parts = folder.mid(root_.size()).split(kSeparator, Qt::SkipEmptyParts);
    const int level = static_cast<int>(parts.size()) + 1; // of the subfolders
    const int shift = std::max(0, level - kMaxIndentLevel);
    const auto indent = [shift](int depth) { return std::max(0, depth - shift); };
    rows.push_back({root_, root_, 0, true, 1});
    QString so_far = root_ == QLatin1String("/") ? QString() : root_;
    for (int i = 0; i < parts.size(); ++i) {
        so_far += kSeparator + parts[i];
        rows.push_back({parts[i], so_far, indent(i + 1), true, i + 2});
    }
    const int currentRow = static_cast<int>(rows.size()) - 1;
    const QString prefix = folder.endsWith(kSeparator) ? folder : folder + kSeparator;
    for (const QString& name : subfolders)
        rows.push_back({name, prefix + name, indent(level), false, level + 1});
    model_->reset(std::move(rows));
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
    const QStringList subfolders = listSubfolders(folder); // throws before anything changes
    const bool changedPath = folder != path_;
    path_ = folder;
    root_ = root;
    setCurrentFolderOf(driveText(root_), folder);
    fill(folder, subfolders);
    if (changedPath)
        if (onChange)
            onChange();
}

QString DirListWidget::rowPath(int row) const {
    return model_->rows.at(static_cast<size_t>(row)).path;
}

int DirListWidget::rowCount() const {
    return model_->rowCount();
}

void DirListWidget::openRow(int row) {
    open(model_->index(row));
}

void DirListWidget::open(const QModelIndex& index) {
    if (!index.isValid())
        return;
    const QString target = rowPath(index.row());
    if (leaveLostDrive(this, {path_, root_}))
        return;
    raiseEvent([this, target] {
        // Opened from the list itself, a row always means that very folder, in the tree
        // shown (another drive mounted further down is entered as a folder of it).
        const QStringList subfolders = listSubfolders(target);
        if (target == path_)
            return;
        path_ = target;
        setCurrentFolderOf(driveText(root_), target);
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
    QListView::keyPressEvent(e);
}

QItemSelectionModel::SelectionFlags DirListWidget::selectionCommand(const QModelIndex& index,
                                                                    const QEvent* e) const {
    return keepSelection(QListView::selectionCommand(index, e));
}

void DirListWidget::showEvent(QShowEvent* e) {
    if (!listed_) {
        try {
            fill(path_, listSubfolders(path_));
        } catch (const RuntimeError&) {
            fill(path_, {}); // the working folder cannot be read: show just its path
        }
    }
    QListView::showEvent(e);
}

// --- File list ----------------------------------------------------------------------

class FileModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    QStringList names;
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : names.size();
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= names.size())
            return {};
        return names.at(index.row());
    }
    void reset(QStringList newNames) {
        beginResetModel();
        names = std::move(newNames);
        endResetModel();
    }
};

FileListWidget::FileListWidget(const ControlDesign& d, QWidget* parent)
    : QListView(parent), model_(new FileModel(this)),
      pattern_(d.pattern ? QString::fromUtf8(d.pattern) : QStringLiteral("*.*")) {
    styleList(this, d);
    setItemDelegate(new RowDelegate(this));
    setModel(model_);
    path_ = cleanPath(QDir::currentPath());
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && selectionModel()->isSelected(index))
            clicked();
    });
}

void FileListWidget::setPath(const QString& path) {
    const QString folder = cleanPath(path);
    if (folder == path_ && listed_)
        return;
    QStringList names = listFiles(folder, pattern_); // throws before anything changes
    path_ = folder;
    model_->reset(std::move(names));
    listed_ = true;
}

QString FileListWidget::fileName() const {
    const QModelIndex current = currentIndex();
    if (!current.isValid() || !selectionModel()->isSelected(current))
        return {};
    return model_->names.value(current.row());
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
    return keepSelection(QListView::selectionCommand(index, e));
}

bool FileListWidget::chooseName(const QString& name) {
    const int row = static_cast<int>(model_->names.indexOf(name));
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
    announceFocusedRow(this, chosen.row());
}

void FileListWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QListView::currentChanged(current, previous); // tells screen readers, when the list has the focus
    if (hasFocus())
        announced_ = current;
}

void FileListWidget::mousePressEvent(QMouseEvent* e) {
    announced_ = QModelIndex(); // a new move
    QListView::mousePressEvent(e);
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
    // While no file is chosen (a fresh folder), the first move chooses one: the keys
    // that go up or stay choose the first figure, those that go to the end the last.
    // The list's current row alone would make Down skip the first figure and leave
    // Home and Space with nothing to do.
    if (!selectionModel()->hasSelection() && !model_->names.isEmpty() &&
        !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
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
        if (row >= 0) {
            e->accept();
            choose(row);
            return;
        }
    }
    // The selection moved by keyboard (arrows, Home/End, pages, type-ahead) counts as a
    // click on the entry it moved to, so the picture follows the keyboard.
    const QModelIndex before = currentIndex();
    QListView::keyPressEvent(e);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after != before) {
        selectionModel()->select(after, QItemSelectionModel::ClearAndSelect);
        clicked();
    }
}

void FileListWidget::showEvent(QShowEvent* e) {
    if (!listed_) {
        try {
            model_->reset(listFiles(path_, pattern_));
        } catch (const RuntimeError&) {
            model_->reset({});
        }
        listed_ = true;
    }
    QListView::showEvent(e);
}

} // namespace kv
