#include "platform/world/bounded_wait.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
#include <QMouseEvent>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kv {

namespace {

constexpr int kDefaultLimitMs = 10000;
// Most steps answer within this: they are waited for as before, without the loop.
constexpr int kQuickMs = 50;
constexpr int kBusyPointerMs = 500;

int limitMs = kDefaultLimitMs;
int waitDepth = 0;

// One step on its thread. The loop that waits for it is the user-interface thread's
// own; the thread wakes it through that thread's event queue, when it waits there.
struct Run {
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;
    bool looping = false;       // the user-interface thread waits in its loop
    QEventLoop* loop = nullptr; // user-interface thread only
};

// The thread that the steps of one place run on, one after the other; kept for the
// next step, so that a step costs no new thread (nor new memory for one).
struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::function<void()> job;
};

QHash<QString, std::shared_ptr<Worker>>& workers() {
    static QHash<QString, std::shared_ptr<Worker>> byPlace;
    return byPlace;
}

// Hands the job to the place's thread, started on first use; false when no thread can
// be had.
bool startOn(const QString& place, std::function<void()> job) {
    std::shared_ptr<Worker>& worker = workers()[place];
    if (!worker) {
        auto fresh = std::make_shared<Worker>();
        try {
            std::thread([fresh] {
                for (;;) {
                    std::function<void()> next;
                    {
                        std::unique_lock<std::mutex> lock(fresh->mutex);
                        fresh->wake.wait(lock, [&] { return bool(fresh->job); });
                        next = std::move(fresh->job);
                        fresh->job = nullptr;
                    }
                    next();
                }
            }).detach();
        } catch (const std::system_error&) {
            workers().remove(place);
            return false;
        }
        worker = fresh;
    }
    {
        const std::lock_guard<std::mutex> lock(worker->mutex);
        worker->job = std::move(job);
    }
    worker->wake.notify_one();
    return true;
}

// The thread of a place that has not answered yet, if any.
QHash<QString, std::shared_ptr<Run>>& hanging() {
    static QHash<QString, std::shared_ptr<Run>> runs;
    return runs;
}

struct Deferred {
    QPointer<QObject> context;
    std::function<void()> then;
};
std::vector<Deferred>& deferred() {
    static std::vector<Deferred> waitingToRun;
    return waitingToRun;
}

void runDeferred() {
    // Not while a message is up (a step's failure): once it is gone.
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(kBusyPointerMs / 5, qApp, runDeferred);
        return;
    }
    std::vector<Deferred> due;
    due.swap(deferred());
    for (Deferred& d : due)
        if (d.context)
            d.then();
}

// While a step is waited for, a window's close box closes nothing: the window would go
// under the step that runs in it. The close is made once the wait is over.
class CloseHolder : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Close || !watched->isWidgetType())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->isWindow())
            return false;
        event->ignore();
        afterWaits(widget, [widget] { widget->close(); });
        return true;
    }
};

// The job that runs a step on its place's thread and tells the run that it is over.
std::function<void()> jobFor(const std::shared_ptr<Run>& run, std::function<void()> step) {
    return [run, step = std::move(step)] {
        try {
            step();
        } catch (...) {
            // (waitOn hands a step's errors to its caller; a bare step has none)
        }
        bool looping;
        {
            const std::lock_guard<std::mutex> lock(run->mutex);
            run->done = true;
            looping = run->looping;
        }
        run->doneSignal.notify_all();
        if (QCoreApplication* app = QCoreApplication::instance(); app && looping)
            QMetaObject::invokeMethod(
                app,
                [run] {
                    if (run->loop)
                        run->loop->quit();
                },
                Qt::QueuedConnection);
    };
}

// When a step fails, its message follows and blocks the windows: the input that the
// wait held back is let in first, through this. A click on a button (its press and
// release) is kept and made once the wait and the message are over, as a close is (see
// CloseHolder); any other input is dropped: a key would answer the message.
class InputKeeper : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // (A window's input reaches the widget under it through its window first.)
        if (!event->isInputEvent() || !watched->isWidgetType())
            return false;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (event->type() == QEvent::MouseButtonPress) {
            pressed_ = button;
        } else if (event->type() == QEvent::MouseButtonRelease && button && button == pressed_) {
            pressed_ = nullptr;
            if (button->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint()))
                deferred().push_back({button, [button = QPointer(button)] {
                                          if (button && button->isEnabled() && button->isVisible())
                                              button->click();
                                      }});
        }
        return true;
    }

private:
    QPointer<QAbstractButton> pressed_;
};

bool isDone(Run& run) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    return run.done;
}

// Waits for the run until the clock reaches the limit; whether it answered.
bool waitFor(const std::shared_ptr<Run>& run, const QElapsedTimer& clock) {
    {
        std::unique_lock<std::mutex> lock(run->mutex);
        const auto quick = std::chrono::milliseconds(
            std::max<qint64>(0, std::min<qint64>(kQuickMs, limitMs - clock.elapsed())));
        if (run->doneSignal.wait_for(lock, quick, [&] { return run->done; }))
            return true;
    }
    const qint64 left = limitMs - clock.elapsed();
    if (left <= 0)
        return false;

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    bool busyPointer = false;
    QTimer busy;
    busy.setSingleShot(true);
    QObject::connect(&busy, &QTimer::timeout, &loop, [&busyPointer] {
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
        busyPointer = true;
    });
    busy.start(static_cast<int>(std::max<qint64>(0, kBusyPointerMs - clock.elapsed())));
    CloseHolder holder;
    qApp->installEventFilter(&holder);
    ++waitDepth;
    run->loop = &loop;
    {
        const std::lock_guard<std::mutex> lock(run->mutex);
        run->looping = true;
    }
    // (The loop also ends when the program is told to leave: it leaves once the step is
    // over.)
    while (!isDone(*run) && clock.elapsed() < limitMs) {
        limit.start(static_cast<int>(limitMs - clock.elapsed()));
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    run->loop = nullptr;
    if (!isDone(*run)) {
        InputKeeper keeper;
        qApp->installEventFilter(&keeper);
        QCoreApplication::processEvents();
        qApp->removeEventFilter(&keeper);
    }
    --waitDepth;
    qApp->removeEventFilter(&holder);
    if (busyPointer)
        QGuiApplication::restoreOverrideCursor();
    if (waitDepth == 0 && !deferred().empty())
        QTimer::singleShot(0, qApp, runDeferred);
    return isDone(*run);
}

} // namespace

void setStallLimit(int milliseconds) {
    limitMs = milliseconds > 0 ? milliseconds : kDefaultLimitMs;
}

int stallLimit() {
    return limitMs;
}

bool waiting() {
    return waitDepth > 0;
}

void afterWaits(QObject* context, std::function<void()> then) {
    if (!waiting()) {
        then();
        return;
    }
    deferred().push_back({context, std::move(then)});
}

void runBounded(const QString& place, const RuntimeError& stalled, const std::function<void()>& onStall,
                std::function<void()> step) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ||
        QThread::currentThread() != QCoreApplication::instance()->thread()) {
        step();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    const auto fail = [&] {
        if (onStall)
            onStall();
        throw stalled;
    };
    // A thread still hangs on this place: the step waits for it first, within its limit.
    if (const std::shared_ptr<Run> before = hanging().value(place)) {
        if (!waitFor(before, clock))
            fail();
        hanging().remove(place);
    }
    auto run = std::make_shared<Run>();
    const bool started = startOn(place, jobFor(run, step));
    if (!started) {
        step(); // no thread to be had: waited for here, as it always was
        return;
    }
    if (!waitFor(run, clock)) {
        hanging().insert(place, run);
        fail();
    }
}

EarlyStep::EarlyStep(QString place, std::function<void()> step)
    : place_(std::move(place)), step_(std::move(step)), state_(State::NotStarted) {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ||
        QThread::currentThread() != QCoreApplication::instance()->thread()) {
        step_();
        state_ = State::Over;
        return;
    }
    if (const std::shared_ptr<Run> before = hanging().value(place_)) {
        if (!isDone(*before))
            return;
        hanging().remove(place_);
    }
    auto run = std::make_shared<Run>();
    if (!startOn(place_, jobFor(run, step_)))
        return;
    {
        std::unique_lock<std::mutex> lock(run->mutex);
        if (run->doneSignal.wait_for(lock, std::chrono::milliseconds(kQuickMs), [&] { return run->done; })) {
            state_ = State::Over;
            return;
        }
    }
    // The next step on the place waits for this one first.
    hanging().insert(place_, run);
    state_ = State::Going;
}

void EarlyStep::finish(const RuntimeError& stalled, const std::function<void()>& onStall) {
    if (state_ == State::Over)
        return;
    const bool going = state_ == State::Going;
    state_ = State::Over;
    runBounded(place_, stalled, onStall, going ? std::function<void()>([] {}) : step_);
}

} // namespace kv
