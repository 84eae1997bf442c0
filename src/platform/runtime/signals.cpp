#include "platform/runtime/signals.h"

#include "platform/runtime/events.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kv {

namespace {

// A signal handler may do almost nothing: it writes one byte into a socket pair, whose
// other end the event loop watches, and the program ends from there.
int wake[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake[0], &byte, 1);
    errno = saved;
}

void setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void endWhenNoHandlerRuns() {
    // End inside a handler unwinds that handler; here no handler called it, so it waits
    // until none is running (only a handler that runs an event loop of its own).
    if (insideHandler()) {
        QTimer::singleShot(10, endWhenNoHandlerRuns);
        return;
    }
    endProgram();
}

} // namespace

void endOnTerminationSignals() {
    static QPointer<QSocketNotifier> notifier;
    if (notifier)
        return;
    if (wake[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wake) != 0) {
        wake[0] = wake[1] = -1;
        return; // the signals keep their default action
    }
    notifier = new QSocketNotifier(wake[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(wake[1], bytes, sizeof bytes) > 0) {
        }
        setHandler(SIG_DFL);
        endWhenNoHandlerRuns();
    });
    setHandler(onTerminationSignal);
}

} // namespace kv
