#include "app/startup.h"

#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/runtime.h"
#include "platform/runtime_error.h"
#include "platform/signals.h"

#include <QApplication>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

// A place on the file system: a folder, and a file in it or none.
struct Location {
    QString folder;
    QString fileName;
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
    return {cut == 0 ? QString(kSeparator) : path.left(cut), path.mid(cut + 1)};
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
    if (!raiseEvent([] { registry::Form1->show(); }))
        return false;
    // As if the user did it, one step after the other, once the usual start is done.
    if (location)
        raiseEvent([&location] { registry::Form1->openLocation(location->folder, location->fileName); });
    return true;
}

int runProgram(int argc, char** argv) {
    QApplication app(argc, argv); // takes its own options out of argc and argv
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
