#pragma once
#include "picture/picture.h"
#include "platform/runtime/events.h"
#include "platform/world/filesystem.h"

#include <QString>

class QWidget;

// Handles to a window's controls. A handle lives as long as its window's instance; the
// control it names exists while the window is loaded, and using a handle of a window
// that is not loaded loads it first. Settings live in the controls, so a window that is
// built afresh starts again from its design.
namespace kv {

class Form;

class Control {
public:
    Control(Form& owner, const char* name);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const char* name() const { return name_; }
    Form& form() const { return owner_; }

protected:
    friend class Form;
    friend class FigureView; // follows a picture box's widget
    // The control's widget, loading the window first if needed.
    QWidget* widget() const;
    // Raises one of the control's events: its handler runs (nested, inside a handler).
    void raise(const char* event, const Handler& handler) const;
    // Called each time the window is built, to connect the new widget's events.
    virtual void connect(QWidget*) {}

private:
    Form& owner_;
    const char* name_;
};

class Label : public Control {
public:
    using Control::Control;
    QString caption() const;
    void setCaption(const QString& text);
    // Shows a file's path, and keeps the very file it names.
    void setCaption(const FilePath& path);
    // The file the caption names: the one it was set to, or the path its text reads as.
    FilePath file() const;
};

class Image : public Control {
public:
    using Control::Control;
    Picture picture() const;
};

class PictureBox : public Control {
public:
    using Control::Control;
    Picture picture() const;
    // Shows the picture from the box's inner top-left corner at its own size, clipped
    // at the inner edges; an empty picture empties the box.
    void setPicture(const Picture& picture);
    // Raised on a double-click on the box, and on Return or Space while it has the focus.
    void onDblClick(Handler handler) { dblClick_ = std::move(handler); }

protected:
    void connect(QWidget* w) override;

private:
    Handler dblClick_;
};

// A figure whole, fitted to its window or zoomed and moved by the user.
class FigureView : public Control {
public:
    using Control::Control;
    Picture picture() const;
    // Shows the picture fitted to the view (an empty one changes nothing).
    void setPicture(const Picture& picture);
    // Shows the picture of the box now, and each picture the box is given from now on,
    // as long as both are loaded.
    void follow(const PictureBox& box);
    // The file name of the figure shown, without its folder.
    QString fileName() const;
    QSize figureSize() const;
    // The zoom as it is written: "25 %".
    QString zoomText() const;
    // Sizes its window to the figure at 100 %, where the screen's free area allows.
    void sizeWindowToFigure();
    // Raised when the zoom changes, and when a figure is shown.
    void onZoomChange(Handler handler) { zoomChange_ = std::move(handler); }

protected:
    void connect(QWidget* w) override;

private:
    Handler zoomChange_;
};

// A command button or a 3-D picture button: both raise Click on a mouse click or on
// keyboard activation.
class Button : public Control {
public:
    using Control::Control;
    void onClick(Handler handler) { click_ = std::move(handler); }
    // Presses the button as the user would (for handlers of other windows and tests).
    void click();

protected:
    void connect(QWidget* w) override;

private:
    Handler click_;
};

using CommandButton = Button;
using PictureButton = Button;

// A drop-down list of the mounted drives.
class DriveList : public Control {
public:
    using Control::Control;
    // The current drive, as text.
    QString drive() const;
    // Makes current the drive that holds the full path; raises Change, nested, when that
    // is another drive than before.
    void setDrive(const QString& path);
    // Makes current the drive that holds the path, raising no Change (to undo a pick).
    void restoreDrive(const QString& path);
    void onChange(Handler handler) { change_ = std::move(handler); }

protected:
    void connect(QWidget* w) override;

private:
    Handler change_;
};

// The folder list: the path from the root down to the current folder, then its
// subfolders. A double-click (or Enter) on a row opens that folder.
class DirList : public Control {
public:
    using Control::Control;
    QString path() const;
    // Shows the folder; a drive's text shows that drive's current folder. Raises
    // Change, nested, when the path really changes.
    void setPath(const QString& path);
    void onChange(Handler handler) { change_ = std::move(handler); }

protected:
    void connect(QWidget* w) override;

private:
    Handler change_;
};

// The file list: the files of folder Path that match the pattern of the design.
class FileList : public Control {
public:
    using Control::Control;
    QString path() const;
    void setPath(const QString& path);
    // The selected file's name without its folder.
    QString fileName() const;
    // The selected file's full path, as its row holds it.
    FilePath filePath() const;
    // Chooses the file of that name (its bytes, as the command line gives them) as a
    // click on it does (Click is raised); returns false, raising nothing, when the list
    // does not show that file.
    bool chooseFile(const QByteArray& name);
    // Raised when the user clicks an entry or moves the selection with the keyboard.
    void onClick(Handler handler) { click_ = std::move(handler); }

protected:
    void connect(QWidget* w) override;

private:
    Handler click_;
};

} // namespace kv
