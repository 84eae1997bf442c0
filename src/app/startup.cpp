#include "app/startup.h"

#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/prepared_start.h"
#include "platform/runtime.h"
#include "platform/runtime_error.h"
#include "platform/signals.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A place on the file system: a folder, and a file in it (by its bytes) or none.
struct Location {
    QString folder;
    QByteArray fileName;
};

// Where the command line's argument points. Throws the run-time error for an argument
// that does not exist or cannot be read.
Location locate(const QByteArray& argument) {
    const QString path = cleanPath(pathFromNative(argument));
    // Opening it is the test of being readable; O_NONBLOCK keeps a FIFO from blocking.
    const int fd = ::open(argument.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            throw RuntimeError(ErrorCode::FileNotFound, path);
        throw RuntimeError(err == ENXIO ? ErrorCode::PathFileAccess : errorForErrno(err), path);
    }
    struct stat st {};
    const bool isFolder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (isFolder)
        return {path, {}};
    const qsizetype cut = path.lastIndexOf(kSeparator);
    return {cut == 0 ? QString(kSeparator) : path.left(cut), argument.mid(argument.lastIndexOf('/') + 1)};
}

// With KV_TRACE_START set, the start's steps and the events it runs are written on
// standard error, each with the milliseconds since the program was started: since
// KV_STARTED_AT (the steady clock's milliseconds when whoever started the program
// started it, as the benchmarks' timing tool gives it), else since the first step.
bool tracingStart() {
    static const bool on = qEnvironmentVariableIsSet("KV_TRACE_START");
    return on;
}

void startStep(const char* what) {
    if (!tracingStart())
        return;
    using namespace std::chrono;
    const double now = duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
    static const double origin = [now] {
        bool ok = false;
        const double given = qEnvironmentVariable("KV_STARTED_AT").toDouble(&ok);
        return ok ? given : now;
    }();
    std::fprintf(stderr, "start %8.2f %s\n", now - origin, what);
}

// Marks the end of the main window's first painting (its picture sent to the screen).
class FirstPaintStep : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, [] { startStep("painted"); });
        }
        return false;
    }
};

void traceStart() {
    if (!tracingStart())
        return;
    setEventTrace([](const char* control, const char* event) {
        startStep(QByteArray(control).append('.').append(event).constData());
    });
}

// The file the command line seems to name, before Qt has taken out its own options:
// the last argument. When its name is one the file list would show, its picture is
// decoded ahead, while Qt starts. Should it not be the argument after all, nothing is
// lost: a prepared picture only stands in for the very file it was read from.
QByteArray likelyFigure(int argc, char** argv) {
    if (argc < 2)
        return {};
    const QByteArray path(argv[argc - 1]);
    const QString name = pathFromNative(path.mid(path.lastIndexOf('/') + 1));
    const ControlDesign* files = form1Design().control("File1");
    if (name.startsWith(QLatin1Char('.')) || !files || !files->pattern ||
        !matchesPattern(name, QString::fromUtf8(files->pattern)))
        return {};
    return path;
}

} // namespace

bool startProgram(const std::optional<QByteArray>& argument) {
    std::optional<Location> location;
    if (argument) {
        try {
            location = locate(*argument);
        } catch (const RuntimeError& error) {
            reportError(error);
        }
    }
    const bool shown = raiseEvent([] { registry::Form1->show(); });
    startStep("shown");
    // As if the user did it, one step after the other, once the usual start is done.
    if (shown && location) {
        raiseEvent([&location] { registry::Form1->openLocation(location->folder, location->fileName); });
        startStep("opened");
    }
    finishPreparedStart();
    if (shown && tracingStart() && registry::Form1->window())
        registry::Form1->window()->installEventFilter(new FirstPaintStep(registry::Form1->window()));
    return shown;
}

int runProgram(int argc, char** argv) {
    startStep("main");
    prepareStart(likelyFigure(argc, argv));
    QApplication app(argc, argv); // takes its own options out of argc and argv
    startStep("qt");
    traceStart();
    QApplication::setApplicationName(QStringLiteral("Kelvar500"));
    // No display name: a desktop would append it to every window's title, and each
    // window's title is its caption alone. The desktop entry names the program instead.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tramonte.Kelvaria500"));
    installLook(app);
    endOnTerminationSignals();

    // The first argument that Qt left, by position, as the system's bytes: a name that is
    // not valid text keeps them.
    std::optional<QByteArray> argument;
    if (argc > 1)
        argument = QByteArray(argv[1]);
    const bool started = startProgram(argument);
    // Without a main window (its message was shown) there is nothing to go on with,
    // unless the program was ended meanwhile (a signal while the message was up).
    int status = 0;
    if (!programEnded())
        status = started ? QApplication::exec() : 1;
    registry::clear();
    return status;
}

} // namespace kv
