#include "app/startup.h"

#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/runtime.h"
#include "platform/signals.h"

#include <QApplication>

namespace kv {

int runProgram(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvar500"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kelvaria 500"));
    installLook(app);
    endOnTerminationSignals();

    // Nothing else happens at start: the command line is not read.
    const bool started = raiseEvent([] { registry::Form1->show(); });
    // Without a main window (its message was shown) there is nothing to go on with,
    // unless the program was ended meanwhile (a signal while the message was up).
    int status = 0;
    if (!programEnded())
        status = started ? QApplication::exec() : 1;
    registry::clear();
    return status;
}

} // namespace kv
