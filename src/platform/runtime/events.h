#pragma once
#include <functional>

// Event dispatch and the failure policy. Everything runs on the one user-interface
// thread. An event that the user causes runs its handler to completion; events that a
// handler causes (setting a list's path raises that list's Change) run nested inside
// it, before the step that caused them returns.
//
// A failing step raises a RuntimeError. It unwinds the handler that is running (and any
// handler it was nested in) up to the event the user caused; there the message box is
// shown and the program goes on. End stops the program: no further handler runs.
namespace kv {

class RuntimeError;
class Form;
using Handler = std::function<void()>;

// Runs the handler of an event raised by the platform (a click, a key, a change).
// Outside any handler the failure policy applies; inside one, it runs nested. Returns
// false when the handler failed and its error was reported.
bool raiseEvent(const Handler& handler);

// Runs a handler nested in the current one; failures travel to the caller.
void runNested(const Handler& handler);

// True while some handler is running.
bool insideHandler();

// Stops the program: every window goes and the event loop leaves with status 0. Called
// inside a handler it does not return (the rest of the handler does not run).
void endProgram();
bool programEnded();

// How a run-time error reaches the user. By default a modal Spanish message box.
using ErrorReporter = std::function<void(const RuntimeError&)>;
void setErrorReporter(ErrorReporter reporter);
void reportError(const RuntimeError& error);

// A trace of the events that run, "Control.Event" (for tests, and for following what
// the program does: KV_TRACE_EVENTS=1 prints them on standard error).
using EventTrace = std::function<void(const char* control, const char* event)>;
void setEventTrace(EventTrace trace);
void traceEvent(const char* control, const char* event);

// The loaded windows. The program ends when the last one is unloaded.
void noteFormLoaded(Form* form);
void noteFormUnloaded(Form* form);
int loadedFormCount();

// Forgets that the program ended and every loaded window, so that a new run can start
// in the same process (used between tests).
void resetProgramState();

} // namespace kv
