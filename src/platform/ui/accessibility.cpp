#include "platform/ui/accessibility.h"

#include "platform/lists/file_list.h"
#include "platform/lists/folder_list.h"
#include "platform/lists/list_rows.h"
#include "picture/figure_renderer.h"
#include "platform/ui/design.h"
#include "platform/ui/figure_view.h"
#include "platform/ui/widgets.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QListView>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <cmath>

namespace kv {

namespace {

const QString kOpenAction = QStringLiteral("abrir");
// What the design says of a control, kept for a description that adds to it.
constexpr char kDescriptionProperty[] = "kvDescription";
const QString kShowAction = QStringLiteral("mostrar");

// The text a design's window picture shows, paragraph by paragraph.
QString pictureTextOf(const FormDesign& design) {
    QStringList paragraphs;
    for (const char* text : design.pictureText)
        paragraphs << QString::fromUtf8(text);
    return paragraphs.join(QLatin1Char('\n'));
}

// --- The words of a window's picture ------------------------------------------------

// A text that exists only in a window's picture (a help sheet, a message drawn in a
// collage), offered as a label of the window, so that a screen reader reads it with the
// window.
class PictureTextAccessible : public QAccessibleInterface {
public:
    PictureTextAccessible(QWidget* window, QString text) : window_(window), text_(std::move(text)) {}
    bool isValid() const override { return !window_.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return window_ ? window_->windowHandle() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(window_); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override { return t == QAccessible::Name ? text_ : QString(); }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        return window_ ? QRect(window_->mapToGlobal(QPoint(0, 0)), window_->size()) : QRect();
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.readOnly = true;
        s.invisible = !window_ || !window_->isVisible();
        return s;
    }

private:
    QPointer<QWidget> window_;
    QString text_;
};

// --- Windows --------------------------------------------------------------------------

// A window is a frame named by its title. Its pictures that only decorate (images
// without a name) are left out of what a screen reader walks; the words its window
// picture shows are its description and its last child.
class FrameAccessible : public QAccessibleWidget {
public:
    explicit FrameAccessible(FormWindow* w) : QAccessibleWidget(w, QAccessible::Window) {
        const QString words = pictureTextOf(w->design());
        if (!words.isEmpty())
            pictureTextId_ = QAccessible::registerAccessibleInterface(new PictureTextAccessible(w, words));
    }
    ~FrameAccessible() override {
        if (pictureTextId_)
            QAccessible::deleteAccessibleInterface(pictureTextId_);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Description && pictureTextId_)
            return pictureText()->text(QAccessible::Name);
        return QAccessibleWidget::text(t);
    }
    int childCount() const override { return static_cast<int>(controls().size()) + (pictureTextId_ ? 1 : 0); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> shown = controls();
        if (index >= 0 && index < shown.size())
            return QAccessible::queryAccessibleInterface(shown.at(index));
        if (index == shown.size() && pictureTextId_)
            return pictureText();
        return nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child)
            return -1;
        if (pictureTextId_ && child == pictureText())
            return static_cast<int>(controls().size());
        return static_cast<int>(controls().indexOf(qobject_cast<QWidget*>(child->object())));
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        for (QWidget* w : controls())
            if (w->isVisible() && QRect(w->mapToGlobal(QPoint(0, 0)), w->size()).contains(x, y))
                return QAccessible::queryAccessibleInterface(w);
        return nullptr;
    }

private:
    QAccessibleInterface* pictureText() const { return QAccessible::accessibleInterface(pictureTextId_); }
    QList<QWidget*> controls() const {
        QList<QWidget*> shown;
        for (QObject* o : widget()->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (!w || w->isWindow())
                continue;
            auto* image = qobject_cast<ImageWidget*>(w);
            if (image && image->accessibleName().isEmpty())
                continue; // decoration
            shown << w;
        }
        return shown;
    }
    QAccessible::Id pictureTextId_ = 0;
};

// --- Picture boxes --------------------------------------------------------------------

// A picture box is an image named by the file it shows, its full path the description.
class PictureBoxAccessible : public QAccessibleWidget {
public:
    explicit PictureBoxAccessible(PictureBoxWidget* w) : QAccessibleWidget(w, QAccessible::Graphic) {}
    QString text(QAccessible::Text t) const override {
        const QString& path = static_cast<PictureBoxWidget*>(widget())->picture().fileName();
        switch (t) {
        case QAccessible::Name:
            if (path.isEmpty())
                return QStringLiteral("ninguna figura");
            return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        case QAccessible::Description:
            return path;
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

// --- The figure view ---------------------------------------------------------------------

// The figure view is heard as what it is to the keyboard: a zoom that + and − move, named
// by the figure, its size and the zoom. Its value, the zoom in per cent, is what a screen
// reader says as it changes.
class FigureViewAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit FigureViewAccessible(FigureViewWidget* w) : QAccessibleWidget(w, QAccessible::Slider) {}
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QVariant currentValue() const override { return static_cast<int>(std::lround(view()->zoom() * 100)); }
    void setCurrentValue(const QVariant& value) override { view()->setZoomPercent(value.toDouble()); }
    QVariant maximumValue() const override { return static_cast<int>(kMostZoom * 100); }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    FigureViewWidget* view() const { return static_cast<FigureViewWidget*>(widget()); }
};

// --- The folder and file lists ----------------------------------------------------------

// One row of a list. It stays the same object for a screen reader while its row shows
// the same entry, and is dropped when the list is filled anew.
class RowAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    RowAccessible(QListView* list, const QModelIndex& index) : list_(list), index_(index) {}

    bool matches(const QModelIndex& index) const { return index_.isValid() && index_ == index; }
    int row() const { return index_.row(); }

    bool isValid() const override { return list_ && index_.isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return list_ ? list_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(list_); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    void setText(QAccessible::Text, const QString&) override {}
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QString text(QAccessible::Text t) const override {
        if (!isValid())
            return {};
        if (t == QAccessible::Name)
            return index_.data(Qt::DisplayRole).toString();
        if (t == QAccessible::Description && folders())
            return folderDescription();
        return {};
    }

    QRect rect() const override {
        if (!isValid())
            return {};
        const QRect r = list_->visualRect(index_).intersected(list_->viewport()->rect());
        return r.translated(list_->viewport()->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.focusable = true;
        s.selectable = true;
        s.selected = list_->selectionModel()->isSelected(index_);
        // Only the row of the list that has the keyboard focus has it.
        s.focused = list_->hasFocus() && list_->currentIndex() == index_;
        s.invisible = !list_->isVisible() || !list_->visualRect(index_).intersects(list_->viewport()->rect());
        s.offscreen = s.invisible;
        if (folders()) {
            s.expandable = true;
            s.expanded = index_.data(kFolderOpenRole).toBool();
        }
        return s;
    }

    QStringList actionNames() const override { return {folders() ? kOpenAction : kShowAction}; }
    QString localizedActionName(const QString& name) const override { return name; }
    QString localizedActionDescription(const QString& name) const override {
        if (name == kOpenAction)
            return QStringLiteral("Abre la carpeta y muestra sus figuras");
        if (name == kShowAction)
            return QStringLiteral("Muestra la figura");
        return {};
    }
    QStringList keyBindingsForAction(const QString& name) const override {
        return name == kOpenAction ? QStringList{QStringLiteral("Return")} : QStringList{};
    }
    void doAction(const QString& name) override {
        if (!isValid())
            return;
        if (auto* dirs = qobject_cast<DirListWidget*>(list_.data()); dirs && name == kOpenAction)
            dirs->openRow(index_.row());
        else if (auto* files = qobject_cast<FileListWidget*>(list_.data()); files && name == kShowAction)
            files->choose(index_.row());
    }

private:
    bool folders() const { return qobject_cast<DirListWidget*>(list_.data()) != nullptr; }
    // Where the folder stands in the drive's tree (the drive itself is level 1), and
    // whether it is the folder shown or one on the way down to it.
    QString folderDescription() const {
        QString words = QStringLiteral("nivel %1").arg(index_.data(kFolderDepthRole).toInt());
        const auto* dirs = static_cast<const DirListWidget*>(list_.data());
        if (dirs->rowPath(index_.row()) == dirs->path())
            words += QStringLiteral(", abierta");
        else if (index_.data(kFolderOpenRole).toBool())
            words += QStringLiteral(", desplegada");
        return words;
    }

    QPointer<QListView> list_;
    QPersistentModelIndex index_;
};

// A folder or file list: a list named by the label beside it, whose children are its
// rows. A row keeps its object while the list shows its entry: rows a re-read inserts
// or removes move the others' places, and the rows of the entries gone are dropped.
class ListAccessible : public QAccessibleWidget {
public:
    explicit ListAccessible(QListView* list) : QAccessibleWidget(list, QAccessible::List) {
        if (QAbstractItemModel* model = list->model()) {
            const auto moving = [this] { moved_ = true; };
            QObject::connect(model, &QAbstractItemModel::rowsAboutToBeInserted, &follower_, moving);
            QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, &follower_, moving);
            QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, &follower_, moving);
            const auto moved = [this] { replace(); };
            QObject::connect(model, &QAbstractItemModel::rowsInserted, &follower_, moved);
            QObject::connect(model, &QAbstractItemModel::rowsRemoved, &follower_, moved);
            QObject::connect(model, &QAbstractItemModel::modelReset, &follower_, moved);
        }
    }
    ~ListAccessible() override {
        for (QAccessible::Id id : std::as_const(rows_))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return list()->model() ? list()->model()->rowCount() : 0; }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount())
            return nullptr;
        const QModelIndex modelIndex = list()->model()->index(index, 0);
        if (moved_) // asked before the list's own notice of the move came
            replace();
        if (const QAccessible::Id id = rows_.value(index)) {
            auto* row = static_cast<RowAccessible*>(QAccessible::accessibleInterface(id));
            if (row && row->matches(modelIndex))
                return row;
            // The list was filled anew: the entry that had this row is gone.
            rows_.remove(index);
            QAccessible::deleteAccessibleInterface(id);
        }
        auto* row = new RowAccessible(list(), modelIndex);
        rows_.insert(index, QAccessible::registerAccessibleInterface(row));
        return row;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child || child->role() != QAccessible::ListItem || child->parent() != this)
            return -1;
        const int row = static_cast<const RowAccessible*>(child)->row();
        return this->child(row) == child ? row : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QModelIndex index = list()->indexAt(list()->viewport()->mapFromGlobal(QPoint(x, y)));
        return index.isValid() ? child(index.row()) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        if (!list()->hasFocus() || !list()->currentIndex().isValid())
            return nullptr;
        return child(list()->currentIndex().row());
    }

private:
    QListView* list() const { return static_cast<QListView*>(widget()); }
    // Rows were inserted or removed, or all replaced: each row object that still shows
    // its entry is filed under its row's new place, the others are dropped.
    void replace() const {
        moved_ = false;
        QHash<int, QAccessible::Id> placed;
        for (QAccessible::Id id : std::as_const(rows_)) {
            auto* row = static_cast<RowAccessible*>(QAccessible::accessibleInterface(id));
            if (row && row->isValid())
                placed.insert(row->row(), id);
            else
                QAccessible::deleteAccessibleInterface(id);
        }
        rows_ = std::move(placed);
    }
    mutable QHash<int, QAccessible::Id> rows_;
    mutable bool moved_ = false; // rows moved since they were filed
    QObject follower_;           // the model's notices end with this object
};

QAccessibleInterface* programInterfaces(const QString& className, QObject* object) {
    if (className == QLatin1String("kv::FormWindow"))
        return new FrameAccessible(static_cast<FormWindow*>(object));
    if (className == QLatin1String("kv::FigureViewWidget"))
        return new FigureViewAccessible(static_cast<FigureViewWidget*>(object));
    if (className == QLatin1String("kv::PictureBoxWidget"))
        return new PictureBoxAccessible(static_cast<PictureBoxWidget*>(object));
    if (className == QLatin1String("kv::DirListWidget") || className == QLatin1String("kv::FileListWidget"))
        return new ListAccessible(static_cast<QListView*>(object));
    return nullptr;
}

} // namespace

void installAccessibility() {
    QAccessible::installFactory(programInterfaces);
    // The lists tell of their rows and entries through their hook.
    setRowAnnouncer({.focusedRow = announceFocusedRow,
                     .shownEntry = announceShownEntry,
                     .chosenEntry = announceChosenEntry,
                     .popupRow = announcePopupRow});
}

void tieLabels(QWidget* window, const FormDesign& design) {
    for (const ControlSpeech& s : design.speech) {
        QWidget* control =
            window->findChild<QWidget*>(QString::fromUtf8(s.control), Qt::FindDirectChildrenOnly);
        if (!control)
            continue;
        if (s.label)
            if (auto* label =
                    window->findChild<QLabel*>(QString::fromUtf8(s.label), Qt::FindDirectChildrenOnly))
                label->setBuddy(control);
        if (s.description) {
            control->setProperty(kDescriptionProperty, QString::fromUtf8(s.description));
            if (auto* drives = qobject_cast<QComboBox*>(control))
                announceShownEntry(drives);
            else
                control->setAccessibleDescription(QString::fromUtf8(s.description));
        }
    }
}

void announceShownEntry(QComboBox* list) {
    // Orca reads a combo box tied to a label by that label alone, and never its entry
    // where the user asks where he is: the entry shown goes first in the description,
    // which it reads on the focus, on that question and whenever it changes.
    const QString described = list->property(kDescriptionProperty).toString();
    const QString entry = list->currentText();
    const QString words = entry.isEmpty()       ? described
                          : described.isEmpty() ? entry
                                                : entry + QStringLiteral(". ") + described;
    if (words != list->accessibleDescription())
        list->setAccessibleDescription(words);
}

void announceChosenEntry(QComboBox* list) {
    announceShownEntry(list);
    // Orca hears a combo box's new entry from no event of its own (the name it takes
    // for an echo of the selection, which the pop-up does not offer): the entry's row in
    // the closed pop-up becomes its list's current row, which tells of it.
    if (!QAccessible::isActive() || !list->hasFocus() || list->view()->isVisible())
        return;
    const QModelIndex entry =
        list->model()->index(list->currentIndex(), list->modelColumn(), list->rootModelIndex());
    if (entry.isValid())
        list->view()->selectionModel()->setCurrentIndex(entry, QItemSelectionModel::ClearAndSelect);
}

void announcePopupRow(QComboBox* list) {
    // Its list tells of itself when it opens, not of the entry it opens on.
    QTimer::singleShot(0, list->view(), [view = list->view()] {
        if (view->isVisible() && view->currentIndex().isValid())
            announceFocusedRow(view, view->currentIndex().row());
    });
}

void announceNameChanged(QWidget* control) {
    if (!QAccessible::isActive())
        return;
    QAccessibleEvent name(control, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&name);
    QAccessibleEvent description(control, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&description);
}

void announceFocusedRow(QAbstractItemView* list, int row) {
    if (!QAccessible::isActive() || !list->hasFocus())
        return;
    QAccessibleEvent focus(list, QAccessible::Focus);
    focus.setChild(row);
    QAccessible::updateAccessibility(&focus);
}

} // namespace kv
