#include "app/startup.h"

#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/runtime.h"

#include <QApplication>

namespace kv {

int runProgram(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvar500"));
    // No display name: a desktop would append it to every window's title, and each
    // window's title is its caption alone. The desktop entry names the program instead.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tramonte.Kelvaria500"));
    installLook(app);

    // Nothing else happens at start: the command line is not read.
    const bool started = raiseEvent([] { registry::Form1->show(); });
    int status = 0;
    if (!started)
        status = 1; // the message was shown; there is no window to go on with
    else if (!programEnded())
        status = QApplication::exec();
    registry::clear();
    return status;
}

} // namespace kv
