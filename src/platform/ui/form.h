#pragma once
#include "platform/runtime/events.h"
#include "platform/ui/design.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QDropEvent;
class QWidget;

// A window: a class with a design and handlers. The instance is separate from its
// loaded state: loading builds the window and its controls from the design and then
// runs the window's Load event; unloading (the close box) destroys them and keeps the
// instance, so the next load builds a fresh window from the design.
namespace kv {

class Control;
class Picture;
class FormWindow;

class Form {
public:
    explicit Form(const FormDesign& design);
    virtual ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const FormDesign& design() const { return design_; }

    // Builds the window and runs its Load event, unless it is loaded already. A Load
    // event that fails leaves the window unloaded and passes the error on.
    void load();
    // Loads the window if needed, makes it visible and brings it to the front.
    void show();
    // Destroys the window and its controls, as the close box does. No event runs.
    void unload();

    bool isLoaded() const;
    bool isVisible() const;

    // A disabled window ignores all user input.
    bool enabled();
    void setEnabled(bool on);

    QString caption();
    void setCaption(const QString& text);

    // Prints an image of the client area, controls included, as one page on the default
    // printer; the window need not be visible. The job bears the program's name.
    void printForm();

    // The client area's screen position and size, in twips.
    struct TwipsRect {
        int left, top, width, height;
    };
    TwipsRect clientGeometry();

    // The Qt widgets behind the window and its controls (for the platform and tests).
    QWidget* window() const;
    QWidget* controlWidget(const char* name) const;

protected:
    void onLoad(Handler handler) { loadHandler_ = std::move(handler); }
    // What the close box does instead of unloading the window.
    void onCloseBox(Handler handler) { closeBoxHandler_ = std::move(handler); }
    // Files and folders dragged onto the window from other programs (a file manager):
    // a drop that holds a file whose name matches `pattern`, or a folder, is taken as a
    // copy; any other is refused as the pointer comes over the window. The handler
    // (the window's OLEDragDrop event) gets the first such file, else the first folder,
    // as the system's bytes; it runs once the drop is over.
    using DropHandler = std::function<void(const QByteArray& path)>;
    void onDragDrop(QString pattern, DropHandler handler);

private:
    friend class Control;
    friend class FormWindow;
    void attach(Control* control) { handles_.push_back(control); }
    void ensureLoaded();
    void build();
    void closeBoxPressed();
    // What a drag over the window would open when dropped; none when it is refused.
    std::optional<QByteArray> dropFor(const QDropEvent& drag) const;
    void dropped(const QByteArray& path);

    const FormDesign& design_;
    Handler loadHandler_;
    Handler closeBoxHandler_;
    QString dropPattern_;
    DropHandler dropHandler_;
    std::vector<Control*> handles_;
    QPointer<FormWindow> window_;
    std::vector<QPointer<QWidget>> widgets_; // in design order
};

} // namespace kv
