#pragma once
// What screen readers are told of the program's windows and controls. Only the platform
// layer includes this.
class QAbstractItemView;
class QComboBox;
class QWidget;

namespace kv {

struct FormDesign;

// Installs the screen readers' view of the program's own widgets: windows as frames
// that offer the words of their pictures, picture boxes as images named by the figure
// shown, the folder and file lists with their items; and sets the lists' hook
// (setRowAnnouncer), through which they tell of their rows. Call once, before any window.
void installAccessibility();

// Ties a freshly built window's labels to the controls they name, and gives those
// controls their descriptions, as the design says.
void tieLabels(QWidget* window, const FormDesign& design);

// Tells screen readers that a control's name changed (the picture a box shows).
void announceNameChanged(QWidget* control);

// Tells screen readers that the keyboard focus is on a row of a list (which has it).
void announceFocusedRow(QAbstractItemView* list, int row);

// Tells screen readers which entry a closed pop-up list (the drive list) shows now.
void announceShownEntry(QComboBox* list);

// Tells screen readers of the entry a closed pop-up list (with the keyboard) moved to.
void announceChosenEntry(QComboBox* list);

// Tells screen readers, once its pop-up has opened, the row it opened on.
void announcePopupRow(QComboBox* list);

} // namespace kv
