#include "platform/bounded_wait.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QHash>
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
constexpr int kQuickMs = 30;
constexpr int kBusyPointerMs = 500;

int limitMs = kDefaultLimitMs;
int waitDepth = 0;

// One step on its thread. The loop that waits for it is the user-interface thread's
// own; the thread wakes it through that thread's event queue.
struct Run {
    std::mutex mutex;
    std::condition_variable doneSignal;
    bool done = false;
    QEventLoop* loop = nullptr; // user-interface thread only
};

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
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(static_cast<int>(left));
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
    // (The loop also ends when the program is told to leave: it leaves once the step is
    // over.)
    while (!isDone(*run) && clock.elapsed() < limitMs)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    run->loop = nullptr;
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
    try {
        std::thread([run, step] {
            try {
                step();
            } catch (...) {
                // (waitOn hands a step's errors to its caller; a bare step has none)
            }
            {
                const std::lock_guard<std::mutex> lock(run->mutex);
                run->done = true;
            }
            run->doneSignal.notify_all();
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(
                    app,
                    [run] {
                        if (run->loop)
                            run->loop->quit();
                    },
                    Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        step(); // no thread to be had: waited for here, as it always was
        return;
    }
    if (!waitFor(run, clock)) {
        hanging().insert(place, run);
        fail();
    }
}

} // namespace kv
