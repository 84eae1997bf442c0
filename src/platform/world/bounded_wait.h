#pragma once
// Steps that wait on the world outside the program: a file system (a network share or a
// FUSE mount whose server is gone keeps every stat, readdir and read waiting in the
// kernel) or the print server. Such a step runs on a thread kept for its place while the
// program waits for it in an event loop that only paints and answers the desktop (the
// window manager's ping, the clipboard's requests, screen readers): the user's clicks
// and keys wait until the step is over, and so does everything of the program's own
// that could change the windows under it (the lists following the disk, a window
// closed by its close box, an event raised meanwhile). A step that fails is told in a
// message that blocks the windows: a close, or a click on a button, asked during its
// wait is made once that message is gone. After half a second the pointer
// shows that the program is busy. A place that gives no answer within the limit makes
// the step fail; its thread is left behind (no thread can be called back from the
// kernel), its late answer is ignored, and no further thread waits on that place while
// it hangs: the next step there waits for it within its own limit, then fails too.
#include "platform/runtime/runtime_error.h"

#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QObject;

namespace kv {

// The longest a step may wait without an answer: ten seconds. A test may shorten it
// (0 restores it).
void setStallLimit(int milliseconds);
int stallLimit();

// Whether the program is waiting for such a step now.
bool waiting();

// Runs `then` now, or, while a step is waited for, once the wait is over; not at all
// when the context object is gone by then.
void afterWaits(QObject* context, std::function<void()> then);

// Runs `step` as above; `place` names what it waits on (a drive's mount point, the
// print server). Throws `stalled` once the limit has passed without an answer, after
// calling `onStall`. The step runs on another thread: it must hold copies of what it
// uses, never references to the caller's variables. Outside the user-interface thread,
// or without an application, the step runs at once where it is called.
void runBounded(const QString& place, const RuntimeError& stalled, const std::function<void()>& onStall,
                std::function<void()> step);

// A step started early, before the program can wait for it in the loop (the window is
// not shown yet), or one whose end the program need not see: it is over at once where
// it takes no longer than a quick step (as nearly every step does); else it goes on,
// and finish() waits for it as runBounded does, or else the next step on its place
// does. Nothing is started while a step on the place still hangs: finish() runs it.
class EarlyStep {
public:
    EarlyStep(QString place, std::function<void()> step);
    bool over() const { return state_ == State::Over; }
    const QString& place() const { return place_; }
    // Waits for the step (throws `stalled` after `onStall` when it gives no answer).
    void finish(const RuntimeError& stalled, const std::function<void()>& onStall);

private:
    enum class State { Over, Going, NotStarted };
    QString place_;
    std::function<void()> step_;
    State state_;
};

// The same for a step with a result; an error the step throws reaches the caller.
template <class T>
T waitOn(const QString& place, const RuntimeError& stalled, const std::function<void()>& onStall,
         std::function<T()> step) {
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr error;
    };
    const auto outcome = std::make_shared<Outcome>();
    runBounded(place, stalled, onStall, [outcome, step = std::move(step)] {
        try {
            outcome->value.emplace(step());
        } catch (...) {
            outcome->error = std::current_exception();
        }
    });
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return std::move(*outcome->value);
}

} // namespace kv
