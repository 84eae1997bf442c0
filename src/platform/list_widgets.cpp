#include "platform/list_widgets.h"

#include "platform/accessibility.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/ole_color.h"
#include "platform/runtime_error.h"

#include <QAbstractListModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

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

// --- Following the disk -------------------------------------------------------------

// The system's notices (inotify) of entries added, removed or renamed in one folder:
// of its subfolders for the folder list, of its other entries for the file list, so
// that each list reads the folder again only for what it shows. They are gathered:
// the folder is read again a moment after the first notice, then at most once every
// half second (counted from the end of a reading, so that a big folder leaves the
// window that long to answer) while they keep coming, and always once after the last.
// A file system that gives no notice (a network share) is read again with F5.
class FolderWatch : public QObject {
public:
    FolderWatch(QObject* parent, bool subfolders, std::function<void()> readAgain)
        : QObject(parent), readAgain_(std::move(readAgain)), subfolders_(subfolders) {
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] {
            readAgain_();
            sinceRead_.start(); // the half second is the window's own, between readings
        });
    }
    ~FolderWatch() override {
        delete notifier_; // before its descriptor goes
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Follows this folder from now on, instead of the one before.
    void watch(const QByteArray& folder) {
        if (folder == folder_)
            return;
        folder_ = folder;
        timer_.stop();
        if (fd_ < 0) {
            fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (fd_ < 0)
                return;
            notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, &FolderWatch::noticed);
        }
        const int old = wd_;
        wd_ = ::inotify_add_watch(fd_, folder.constData(),
                                  IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
        if (old >= 0 && old != wd_)
            ::inotify_rm_watch(fd_, old);
    }

private:
    static constexpr int kGatherMs = 100;
    static constexpr int kIntervalMs = 500;

    void noticed() {
        // What the notices say does not matter: the folder is read again whole.
        char buffer[4096];
        bool forFolder = false;
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            for (ssize_t at = 0; at < n;) {
                inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                // (A queue that overflowed may have lost any notice.)
                forFolder |= (event.mask & IN_Q_OVERFLOW) || (event.wd == wd_ && !(event.mask & IN_IGNORED) &&
                                                              bool(event.mask & IN_ISDIR) == subfolders_);
                at += static_cast<ssize_t>(sizeof event + event.len);
            }
        if (!forFolder || timer_.isActive())
            return;
        const qint64 since = sinceRead_.isValid() ? sinceRead_.elapsed() : kIntervalMs;
        timer_.start(static_cast<int>(std::max<qint64>(kGatherMs, kIntervalMs - since)));
    }

    std::function<void()> readAgain_;
    bool subfolders_;
    QByteArray folder_;
    int fd_ = -1;
    int wd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer timer_;
    QElapsedTimer sinceRead_;
};

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
    // The program folder as found at start; gone with the drive, the root instead.
    QString home = cleanPath(programFolder());
    if (!folderExists(home))
        home = QStringLiteral("/");
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

void leaveLostDriveLater(const QString& lost) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* drives = top->findChild<DriveListWidget*>()) {
            QTimer::singleShot(0, drives, [drives = QPointer(drives), lost] {
                if (drives)
                    drives->moveToProgramDrive(lost);
            });
            return;
        }
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
        dirs->readAgain();
    if (auto* files = window->findChild<FileListWidget*>())
        files->readAgain();
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
    QByteArray native; // as the system knows it: the path of an open row, a subfolder's name
    int level;         // how far the row is indented
    bool open;         // a folder on the way down to the current one, or the current one
    int depth;         // in the drive's tree: the drive itself is 1
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
    : QListView(parent), model_(new FolderModel(this)),
      watch_(new FolderWatch(this, true, [this] { readAgain(); })) {
    styleList(this, d);
    model_->openIcon = folderMark(true);
    model_->closedIcon = folderMark(false);
    setIconSize(QSize(13, 13));
    setItemDelegate(new FolderDelegate(this));
    setModel(model_);
    // At first the working folder, in its drive's tree; it is read when the list is
    // first shown, unless a path is set before that.
    path_ = cleanPath(QDir::currentPath());
    native_ = nativePath(path_);
    root_ = mountPointOf(driveOf(path_, mountedDrives()));
    connect(this, &QAbstractItemView::doubleClicked, this, &DirListWidget::open);
}

void DirListWidget::fill(const FilePath& folder, const QList<FilePath>& subfolders) {
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
    const int currentRow = static_cast<int>(rows.size()) - 1;
    const QString prefix = folder.text.endsWith(kSeparator) ? folder.text : folder.text + kSeparator;
    for (const FilePath& sub : subfolders)
        rows.push_back({sub.text, prefix + sub.text, sub.native, indent(level), false, level + 1});
    model_->reset(std::move(rows));
    watch_->watch(folder.native);
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
    const FilePath shown{folder, nativePath(folder)};
    const QList<FilePath> subfolders = readSubfolders(shown); // throws before anything changes
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
    return model_->rows.at(static_cast<size_t>(row)).path;
}

int DirListWidget::rowCount() const {
    return model_->rowCount();
}

void DirListWidget::openRow(int row) {
    open(model_->index(row));
}

void DirListWidget::readAgain() {
    if (!listed_)
        return;
    const FilePath shown{path_, native_};
    QList<FilePath> subfolders;
    try {
        subfolders = readSubfolders(shown);
    } catch (const RuntimeError&) {
        return; // gone or unreadable: the rows stay as they were
    }
    const QModelIndex was = currentIndex();
    const FolderRow current = was.isValid() ? model_->rows.at(static_cast<size_t>(was.row())) : FolderRow{};
    const int scrolled = verticalScrollBar()->value();
    fill(shown, subfolders);
    rereading_ = true;
    for (size_t row = 0; row < model_->rows.size(); ++row)
        if (was.isValid() && model_->rows[row].open == current.open &&
            model_->rows[row].native == current.native)
            setCurrentIndex(model_->index(static_cast<int>(row)));
    rereading_ = false;
    verticalScrollBar()->setValue(scrolled);
}

void DirListWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Qt's list tells screen readers of the new current row; the row found again after a
    // re-read is no move of the user's, and is not told again.
    if (rereading_)
        QAbstractItemView::currentChanged(current, previous);
    else
        QListView::currentChanged(current, previous);
}

void DirListWidget::open(const QModelIndex& index) {
    if (!index.isValid())
        return;
    const FolderRow& row = model_->rows.at(static_cast<size_t>(index.row()));
    const FilePath target{row.path,
                          row.open ? row.native : entryPath({path_, native_}, {row.name, row.native}).native};
    if (leaveLostDrive(this, {path_, root_}))
        return;
    raiseEvent([this, target] {
        // Opened from the list itself, a row always means that very folder, in the tree
        // shown (another drive mounted further down is entered as a folder of it).
        const QList<FilePath> subfolders = readSubfolders(target);
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
    return keepSelection(QListView::selectionCommand(index, e));
}

void DirListWidget::showEvent(QShowEvent* e) {
    if (!listed_) {
        const FilePath shown{path_, native_};
        try {
            fill(shown, readSubfolders(shown));
        } catch (const RuntimeError&) {
            fill(shown, {}); // the working folder cannot be read: show just its path
        }
    }
    QListView::showEvent(e);
}

// --- File list ----------------------------------------------------------------------

class FileModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    QStringList names;
    QList<QByteArray> natives; // each row's name as the system knows it
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : names.size();
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= names.size())
            return {};
        return names.at(index.row());
    }
    void reset(const QList<FilePath>& files) {
        beginResetModel();
        names.clear();
        natives.clear();
        names.reserve(files.size());
        natives.reserve(files.size());
        for (const FilePath& f : files) {
            names.append(f.text);
            natives.append(f.native);
        }
        endResetModel();
    }
};

FileListWidget::FileListWidget(const ControlDesign& d, QWidget* parent)
    : QListView(parent), model_(new FileModel(this)),
      watch_(new FolderWatch(this, false, [this] { readAgain(); })),
      pattern_(d.pattern ? QString::fromUtf8(d.pattern) : QStringLiteral("*.*")) {
    styleList(this, d);
    setItemDelegate(new RowDelegate(this));
    setModel(model_);
    path_ = cleanPath(QDir::currentPath());
    native_ = nativePath(path_);
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && selectionModel()->isSelected(index))
            clicked();
    });
}

void FileListWidget::showFiles(const QList<FilePath>& files) {
    model_->reset(files);
    watch_->watch(native_);
    listed_ = true;
}

void FileListWidget::setPath(const QString& path) {
    const QString folder = cleanPath(path);
    if (folder == path_ && listed_)
        return;
    const FilePath shown{folder, nativePath(folder)};
    const QList<FilePath> files = readFiles(shown, pattern_); // throws before anything changes
    path_ = folder;
    native_ = shown.native;
    showFiles(files);
}

void FileListWidget::readAgain() {
    if (!listed_)
        return;
    QList<FilePath> files;
    try {
        files = readFiles({path_, native_}, pattern_);
    } catch (const RuntimeError&) {
        return; // gone or unreadable: the rows stay as they were
    }
    // The chosen file stays chosen, the current row current, both by their bytes.
    const QModelIndex was = currentIndex();
    const bool chosen = was.isValid() && selectionModel()->isSelected(was);
    const QByteArray current = was.isValid() ? model_->natives.value(was.row()) : QByteArray();
    const int scrolled = verticalScrollBar()->value();
    showFiles(files);
    const int row = current.isEmpty() ? -1 : static_cast<int>(model_->natives.indexOf(current));
    rereading_ = true;
    if (row >= 0)
        selectionModel()->setCurrentIndex(model_->index(row), chosen ? QItemSelectionModel::ClearAndSelect
                                                                     : QItemSelectionModel::NoUpdate);
    rereading_ = false;
    verticalScrollBar()->setValue(scrolled);
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
    announceFocusedRow(this, chosen.row());
}

void FileListWidget::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Qt's list tells screen readers of the new current row when the list has the focus;
    // not of the row found again after a re-read, which is no move of the user's.
    if (rereading_) {
        QAbstractItemView::currentChanged(current, previous);
        return;
    }
    QListView::currentChanged(current, previous);
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
    if (e->key() == Qt::Key_F5) {
        readListsAgain(this);
        e->accept();
        return;
    }
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
            showFiles(readFiles({path_, native_}, pattern_));
        } catch (const RuntimeError&) {
            showFiles({});
        }
    }
    QListView::showEvent(e);
}

} // namespace kv
