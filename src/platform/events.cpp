#include "platform/events.h"

#include "platform/form.h"
#include "platform/runtime_error.h"

#include <QApplication>
#include <QMessageBox>
#include <algorithm>
#include <new>
#include <vector>

namespace kv {

namespace {

// Thrown by endProgram() inside a handler; caught where the user's event started.
struct ProgramEnd {};

int handlerDepth = 0;
bool ended = false;
std::vector<Form*> loadedForms;

void showMessageBox(const RuntimeError& error) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Kelvaria 500"), error.message(), QMessageBox::Ok);
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
    if (loadedForms.empty() && !ended)
        QCoreApplication::exit(0);
}

int loadedFormCount() {
    return static_cast<int>(loadedForms.size());
}

void resetProgramState() {
    ended = false;
    handlerDepth = 0;
    loadedForms.clear();
}

} // namespace kv
