#include "platform/list_rows.h"

#include "platform/drive_list.h"
#include "platform/events.h"
#include "platform/file_list.h"
#include "platform/filesystem.h"
#include "platform/folder_list.h"
#include "platform/ole_color.h"
#include "platform/runtime_error.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

namespace kv {

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

} // namespace kv
