#include "app/startup.h"

#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/runtime/events.h"
#include "platform/runtime/prepared_start.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/runtime/signals.h"
#include "platform/runtime/standard_error.h"
#include "platform/world/filesystem.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>

namespace kv {

namespace {

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

// How the program is called, for --help and after an unknown option.
constexpr char kUsage[] =
    "Uso: kelvar500 [OPCIÓN]... [--] [ARCHIVO | CARPETA]\n"
    "Muestra figuras en mapa de bits (BMP). Con un archivo, abre su carpeta y lo muestra;\n"
    "con una carpeta, abre esa carpeta; sin nada, abre la carpeta del programa.\n"
    "\n"
    "  --help       muestra esta ayuda y termina\n"
    "  --version    muestra la versión y termina\n"
    "  --           fin de las opciones: lo que sigue es el archivo o la carpeta, aunque\n"
    "               empiece por un guion\n"
    "\n"
    "Opciones de Qt, la biblioteca de la interfaz (también con dos guiones):\n"
    "  -platform NOMBRE[:OPCIONES]  el sistema de ventanas: xcb (X11), wayland, offscreen\n"
    "  -display PANTALLA            la pantalla de X11 (con xcb)\n"
    "  -geometry GEOMETRÍA          el tamaño y la posición de la primera ventana (con xcb)\n"
    "  -qwindowgeometry GEOMETRÍA   lo mismo en cualquier sistema de ventanas\n"
    "  -qwindowtitle TÍTULO         el título de la primera ventana\n"
    "  -qwindowicon ICONO           el icono de las ventanas\n"
    "  -name NOMBRE                 el nombre de recurso de las ventanas (con xcb)\n"
    "  -style ESTILO                el estilo de los controles\n"
    "  -stylesheet ARCHIVO          una hoja de estilo para los controles\n"
    "  -reverse                     la interfaz de derecha a izquierda\n"
    "  -platformpluginpath RUTA     dónde buscar los complementos de plataforma\n"
    "  -platformtheme TEMA          el tema de la plataforma\n"
    "  -plugin COMPLEMENTO          carga un complemento de entrada más\n"
    "  -session SESIÓN              la sesión que se restaura\n"
    "  -nograb, -dograb             si el programa puede capturar el ratón y el teclado\n"
    "  -widgetcount                 al terminar, cuántos controles quedaron\n";

// Qt's own options, as Qt takes them out of the command line, with one dash or two:
// those that take the next argument as their value, those that stand alone, and those
// that carry their value after "=". Some are taken by one window system only (-display,
// -geometry, -title, -icon, -name, -visual, -nograb and -dograb on X11): they count as
// known here, and one that Qt leaves is said to be unknown once Qt has started.
constexpr std::array<std::string_view, 17> kQtOptionsWithValue{"platform",      "platformpluginpath",
                                                               "platformtheme", "qwindowgeometry",
                                                               "geometry",      "qwindowtitle",
                                                               "title",         "qwindowicon",
                                                               "icon",          "plugin",
                                                               "style",         "stylesheet",
                                                               "session",       "display",
                                                               "name",          "visual",
                                                               "qmljsdebugger"};
constexpr std::array<std::string_view, 7> kQtOptionsAlone{"reverse", "testability", "widgetcount", "qdevel",
                                                          "qdebug",  "nograb",      "dograb"};
constexpr std::array<std::string_view, 3> kQtOptionsJoined{"style=", "stylesheet=", "qmljsdebugger="};

// The first option before "--" that is neither the program's nor Qt's, or none.
std::optional<std::string_view> unknownOption(int argc, char** argv) {
    const auto among = [](const auto& options, std::string_view name) {
        return std::find(options.begin(), options.end(), name) != options.end();
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--")
            break;
        if (!arg.starts_with('-'))
            continue;
        const std::string_view name = arg.substr(arg.starts_with("--") ? 2 : 1);
        if (among(kQtOptionsWithValue, name))
            ++i; // its value, whatever it reads
        else if (!among(kQtOptionsAlone, name) &&
                 std::none_of(kQtOptionsJoined.begin(), kQtOptionsJoined.end(),
                              [name](std::string_view joined) { return name.starts_with(joined); }))
            return arg;
    }
    return std::nullopt;
}

// An option nobody knows: said on standard error, with the usage; the status to end with.
int unknownOptionStatus(const QByteArray& option) {
    std::fprintf(stderr, "kelvar500: opción desconocida: %s\n%s",
                 escapeControls(QString::fromLocal8Bit(option)).constData(), kUsage);
    return 2;
}

// --help, --version and unknown options, answered from the command line as it was
// given, before Qt is started (Qt would need a display): the status to end with, or
// none to go on. Only options count, up to "--".
std::optional<int> answerBeforeStart(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("Kelvaria 500 %s\n", KV_VERSION);
            return 0;
        }
    }
    if (const std::optional<std::string_view> unknown = unknownOption(argc, argv))
        return unknownOptionStatus(QByteArray(unknown->data(), static_cast<qsizetype>(unknown->size())));
    return std::nullopt;
}

// Where the options end: the position of "--", or argc. Qt takes its own options from
// the whole command line, "--" or not, so it is given only what comes before.
int optionsEnd(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--")
            return i;
    return argc;
}

// The file or folder to open, as the system's bytes, so that a name that is not valid
// text keeps them: the first of the arguments Qt left (argv up to qtArgc), or else the
// first after "--" (argv from `operands` to argc). Any argument Qt left that starts
// with "-" is an option nobody knows (one of another window system's: the others were
// answered before Qt started): it is said on standard error, with the usage, and the
// program ends with status 2.
struct CommandLine {
    std::optional<QByteArray> argument;
    std::optional<int> exitStatus;
};

CommandLine readCommandLine(int qtArgc, int operands, int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < qtArgc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith('-')) {
            line.exitStatus = unknownOptionStatus(arg);
            return line;
        }
        if (!line.argument)
            line.argument = arg;
    }
    if (!line.argument && operands < argc)
        line.argument = QByteArray(argv[operands]);
    return line;
}

} // namespace

bool startProgram(const std::optional<QByteArray>& argument) {
    // The file or folder named is looked at on its drive. Where the drive answers at
    // once, a failure is told before the window comes; else the window comes first,
    // and the look is waited for once it is up, as every step on a drive is.
    struct Found {
        std::optional<Location> location;
        std::optional<RuntimeError> error;
    };
    const auto found = std::make_shared<Found>();
    std::optional<EarlyStep> look;
    if (argument) {
        const QString place = driveOf(cleanPath(QString::fromLocal8Bit(*argument)), mountedDrives());
        look.emplace(place, [found, bytes = *argument] {
            try {
                found->location = locate(bytes);
            } catch (const RuntimeError& error) {
                found->error = error;
            }
        });
        if (look->over() && found->error)
            reportError(*found->error);
    }
    const bool shown = raiseEvent([] { registry::Form1->show(); });
    startStep("shown");
    if (shown && look && !look->over()) {
        try {
            finishOnDrive(*look);
            if (found->error)
                reportError(*found->error);
        } catch (const RuntimeError& error) {
            reportError(error);
            found->location.reset();
        }
    }
    // As if the user did it, one step after the other, once the usual start is done.
    if (shown && found->location) {
        raiseEvent(
            [&found] { registry::Form1->openLocation(found->location->folder, found->location->fileName); });
        startStep("opened");
    }
    finishPreparedStart();
    if (shown && tracingStart() && registry::Form1->window())
        registry::Form1->window()->installEventFilter(new FirstPaintStep(registry::Form1->window()));
    return shown;
}

int runProgram(int argc, char** argv) {
    startStep("main");
    if (const std::optional<int> answered = answerBeforeStart(argc, argv))
        return *answered;
    installMessageEscaping();
    prepareStart(likelyFigure(argc, argv), tracingStart() ? startStep : nullptr);
    const int end = optionsEnd(argc, argv);
    int qtArgc = end;
    QApplication app(qtArgc, argv); // takes its own options out of qtArgc and argv
    startStep("qt");
    const CommandLine line = readCommandLine(qtArgc, end + 1, argc, argv);
    if (line.exitStatus) {
        finishPreparedStart();
        return *line.exitStatus;
    }
    traceStart();
    QApplication::setApplicationName(QStringLiteral("Kelvar500"));
    // No display name: a desktop would append it to every window's title, and each
    // window's title is its caption alone. The desktop entry names the program instead.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tramonte.Kelvaria500"));
    installLook(app);
    endOnTerminationSignals();

    const bool started = startProgram(line.argument);
    // Without a main window (its message was shown) there is nothing to go on with,
    // unless the program was ended meanwhile (a signal while the message was up).
    int status = 0;
    if (!programEnded())
        status = started ? QApplication::exec() : 1;
    registry::clear();
    return status;
}

} // namespace kv
