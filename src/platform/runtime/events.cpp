#include "platform/runtime/events.h"

#include "platform/runtime/runtime_error.h"
#include "platform/runtime/standard_error.h"
#include "platform/ui/form.h"
#include "platform/world/bounded_wait.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

namespace kv {

namespace {

// Thrown by endProgram() inside a handler; caught where the user's event started.
struct ProgramEnd {};

int handlerDepth = 0;
int reportDepth = 0;      // message boxes being shown
bool quitPending = false; // the last window went while a message box was shown
bool ended = false;
std::vector<Form*> loadedForms;

void showMessageBox(const RuntimeError& error) {
    // Written on standard error too, for whoever follows the program from a terminal
    // or a log; a name's control characters escaped there, shown as they are in the box.
    QString line = QStringLiteral("Kelvaria 500: error ") + QString::number(error.number()) +
                   QStringLiteral(": ") + error.description();
    if (!error.detail().isEmpty())
        line += QStringLiteral(": ") + error.detail();
    std::fprintf(stderr, "%s\n", escapeControls(line).constData());
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kelvaria 500"), error.message(), QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("Aceptar"));
    box.exec();
}

ErrorReporter& reporter() {
    static ErrorReporter r = showMessageBox;
    return r;
}

struct DepthGuard {
    DepthGuard() { ++handlerDepth; }
    ~DepthGuard() { --handlerDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// The program leaves once control is back in its event loop, if no window was loaded
// meanwhile; not while a message box is up (its own loop would end with it). Telling
// Qt to quit while no loop runs would make the next loop return at once, so the quit
// is queued.
void quitWhenIdle() {
    if (ended || !QCoreApplication::instance())
        return;
    if (reportDepth > 0) {
        quitPending = true;
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            if (!loadedForms.empty() || ended)
                return;
            if (reportDepth > 0)
                quitPending = true;
            else
                QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
}

void closeEverything() {
    // No unload event runs: the windows simply go.
    const std::vector<Form*> forms = loadedForms;
    for (Form* form : forms)
        form->unload();
    loadedForms.clear();
    QCoreApplication::exit(0);
}

} // namespace

void runNested(const Handler& handler) {
    if (ended || !handler)
        return;
    DepthGuard guard;
    handler();
}

bool raiseEvent(const Handler& handler) {
    if (ended || !handler)
        return true;
    if (waiting()) {
        // Raised while a step waits on the world outside (a screen reader's action, say):
        // it runs once the step is over, not inside it.
        afterWaits(QCoreApplication::instance(), [handler] { raiseEvent(handler); });
        return true;
    }
    if (handlerDepth > 0) {
        runNested(handler);
        return true;
    }
    try {
        DepthGuard guard;
        handler();
    } catch (const ProgramEnd&) {
        closeEverything();
    } catch (const RuntimeError& error) {
        reportError(error);
        return false;
    } catch (const std::bad_alloc&) {
        reportError(RuntimeError(ErrorCode::OutOfMemory));
        return false;
    }
    return true;
}

namespace {
EventTrace& eventTrace() {
    static EventTrace trace = qEnvironmentVariableIsSet("KV_TRACE_EVENTS")
                                  ? EventTrace([](const char* c, const char* e) { qInfo("%s.%s", c, e); })
                                  : EventTrace();
    return trace;
}
} // namespace

void setEventTrace(EventTrace trace) {
    eventTrace() = std::move(trace);
}

void traceEvent(const char* control, const char* event) {
    if (eventTrace() && !ended)
        eventTrace()(control, event);
}

bool insideHandler() {
    return handlerDepth > 0;
}

void endProgram() {
    if (ended)
        return;
    ended = true;
    if (handlerDepth > 0)
        throw ProgramEnd{};
    closeEverything();
}

bool programEnded() {
    return ended;
}

void setErrorReporter(ErrorReporter r) {
    reporter() = r ? std::move(r) : ErrorReporter(showMessageBox);
}

void reportError(const RuntimeError& error) {
    ++reportDepth;
    struct Done {
        ~Done() {
            if (--reportDepth == 0 && quitPending) {
                quitPending = false;
                if (loadedForms.empty())
                    quitWhenIdle();
            }
        }
    } done;
    reporter()(error);
}

void noteFormLoaded(Form* form) {
    if (std::find(loadedForms.begin(), loadedForms.end(), form) == loadedForms.end())
        loadedForms.push_back(form);
}

void noteFormUnloaded(Form* form) {
    const auto it = std::find(loadedForms.begin(), loadedForms.end(), form);
    if (it == loadedForms.end())
        return;
    loadedForms.erase(it);
    // A window that only follows the others goes with the last of them.
    if (std::all_of(loadedForms.begin(), loadedForms.end(),
                    [](Form* f) { return f->design().followsOthers; }))
        for (Form* follower : std::vector<Form*>(loadedForms))
            follower->unload();
    if (loadedForms.empty())
        quitWhenIdle();
}

int loadedFormCount() {
    return static_cast<int>(loadedForms.size());
}

void resetProgramState() {
    ended = false;
    handlerDepth = 0;
    reportDepth = 0;
    quitPending = false;
    loadedForms.clear();
}

} // namespace kv
