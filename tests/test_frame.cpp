// The application frame: the window registry, loading and unloading, event dispatch,
// the failure policy and End.
#include "app/globals.h"
#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/runtime/standard_error.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <unistd.h>

#include "support.h"

using namespace kv;

namespace {

const FormDesign& testDesign() {
    static const FormDesign d{
        .name = "FormT",
        .caption = "Prueba",
        .clientLeft = 0,
        .clientTop = 0,
        .clientWidth = 3000,
        .clientHeight = 2000,
        .controls =
            {
                {.kind = ControlKind::Label,
                 .name = "Label1",
                 .left = 0,
                 .top = 0,
                 .width = 1500,
                 .height = 255,
                 .tabIndex = 1,
                 .caption = "inicial"},
                {.kind = ControlKind::CommandButton,
                 .name = "Command1",
                 .left = 0,
                 .top = 600,
                 .width = 1000,
                 .height = 300,
                 .tabIndex = 0,
                 .caption = "Uno"},
                {.kind = ControlKind::CommandButton,
                 .name = "Command2",
                 .left = 1200,
                 .top = 600,
                 .width = 1000,
                 .height = 300,
                 .tabIndex = 2,
                 .caption = "Dos"},
            },
    };
    return d;
}

// A window whose handlers are set by each test.
class TestForm : public Form {
public:
    TestForm() : Form(testDesign()) {
        onLoad([this] {
            ++loads;
            if (failLoad)
                throw RuntimeError(ErrorCode::InvalidPicture, "carga");
        });
    }
    Label Label1{*this, "Label1"};
    CommandButton Command1{*this, "Command1"};
    CommandButton Command2{*this, "Command2"};
    int loads = 0;
    bool failLoad = false;
};

void closeByCloseBox(Form& form) {
    form.window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class FrameTest : public QObject {
    Q_OBJECT
    FreshProgram program;
    QList<int>& reported = program.reported;

private slots:
    void initTestCase() { QVERIFY(program.prepare()); }
    void init() { program.start(); }
    void cleanup() { program.finish(); }

    void referenceCreatesTheInstanceWithoutLoadingIt() {
        QVERIFY(!registry::Form1.created());
        Form1& first = *registry::Form1;
        QVERIFY(registry::Form1.created());
        QVERIFY(!first.isLoaded());
        QCOMPARE(loadedFormCount(), 0);
        QCOMPARE(&*registry::Form1, &first); // later references give the same instance
    }

    void loadBuildsInvisiblyAndRunsLoadOnce() {
        TestForm f;
        f.load();
        QVERIFY(f.isLoaded());
        QVERIFY(!f.isVisible());
        QCOMPARE(f.loads, 1);
        f.load();
        QCOMPARE(f.loads, 1);
        f.show();
        QVERIFY(f.isVisible());
        QCOMPARE(f.loads, 1);
    }

    void usingAControlOfAnUnloadedWindowLoadsIt() {
        TestForm f;
        QCOMPARE(f.Label1.caption(), QStringLiteral("inicial"));
        QVERIFY(f.isLoaded());
        QCOMPARE(f.loads, 1);
    }

    void closeBoxUnloadsAndShowBuildsAfreshFromTheDesign() {
        TestForm f;
        f.show();
        f.Label1.setCaption(QStringLiteral("cambiado"));
        f.setCaption(QStringLiteral("otro"));
        closeByCloseBox(f);
        QVERIFY(!f.isLoaded());
        QCOMPARE(loadedFormCount(), 0);
        f.show();
        QCOMPARE(f.loads, 2);
        QCOMPARE(f.Label1.caption(), QStringLiteral("inicial"));
        QCOMPARE(f.caption(), QStringLiteral("Prueba"));
    }

    void aDisabledWindowIgnoresItsCloseBoxAndClicks() {
        TestForm f;
        int clicks = 0;
        f.Command1.onClick([&] { ++clicks; });
        f.show();
        f.setEnabled(false);
        QTest::mouseClick(f.controlWidget("Command1"), Qt::LeftButton);
        f.window()->close();
        QVERIFY(f.isLoaded());
        QCOMPARE(clicks, 0);
    }

    void aFailingStepStopsTheHandlerAndTheProgramGoesOn() {
        TestForm f;
        f.Command1.onClick([&] {
            f.Label1.setCaption(QStringLiteral("antes"));
            throw RuntimeError(ErrorCode::FileNotFound, "x.bmp");
            f.Label1.setCaption(QStringLiteral("después")); // never runs
        });
        int secondClicks = 0;
        f.Command2.onClick([&] { ++secondClicks; });
        f.show();
        QTest::mouseClick(f.controlWidget("Command1"), Qt::LeftButton);
        QCOMPARE(reported, QList<int>{53});
        QCOMPARE(f.Label1.caption(), QStringLiteral("antes"));
        QVERIFY(!programEnded());
        QTest::mouseClick(f.controlWidget("Command2"), Qt::LeftButton);
        QCOMPARE(secondClicks, 1);
        QVERIFY(f.isLoaded());
    }

    void aNestedFailureUnwindsToTheEventTheUserCaused() {
        TestForm f;
        QStringList steps;
        f.Command2.onClick([&] {
            steps << "inner";
            throw RuntimeError(ErrorCode::PathNotFound);
        });
        f.Command1.onClick([&] {
            steps << "outer";
            f.Command2.click(); // raised inside this handler: runs nested
            steps << "outer after";
        });
        f.show();
        QTest::mouseClick(f.controlWidget("Command1"), Qt::LeftButton);
        QCOMPARE(steps, (QStringList{"outer", "inner"}));
        QCOMPARE(reported, QList<int>{76}); // one message, not two
        QVERIFY(!insideHandler());
    }

    void outOfMemoryBecomesItsRuntimeError() {
        QVERIFY(!raiseEvent([] { throw std::bad_alloc(); }));
        QCOMPARE(reported, QList<int>{7});
    }

    void aLoadEventThatFailsLeavesTheWindowUnloaded() {
        TestForm f;
        f.failLoad = true;
        bool caught = false;
        try {
            f.load();
        } catch (const RuntimeError& e) {
            caught = e.code() == ErrorCode::InvalidPicture;
        }
        QVERIFY(caught);
        QVERIFY(!f.isLoaded());
        QCOMPARE(loadedFormCount(), 0);
        // Shown from a handler, the failure reaches the user and the next try loads again.
        QVERIFY(!raiseEvent([&] { f.show(); }));
        QCOMPARE(reported, QList<int>{481});
        f.failLoad = false;
        QVERIFY(raiseEvent([&] { f.show(); }));
        QVERIFY(f.isVisible());
        QCOMPARE(f.loads, 3);
    }

    void endRunsNoFurtherStepAndNoFurtherHandler() {
        TestForm a, b;
        a.show();
        b.show();
        QStringList steps;
        a.Command1.onClick([&] {
            steps << "before";
            End();
            steps << "after";
        });
        a.Command2.onClick([&] { steps << "other"; });
        QTest::mouseClick(a.controlWidget("Command1"), Qt::LeftButton);
        QCOMPARE(steps, QStringList{"before"});
        QVERIFY(programEnded());
        QVERIFY(!a.isLoaded());
        QVERIFY(!b.isLoaded()); // every window goes
        QVERIFY(raiseEvent([&] { steps << "late"; }));
        QCOMPARE(steps, QStringList{"before"});
        QVERIFY(reported.isEmpty());
    }

    void theProgramRunsUntilTheLastLoadedWindowIsUnloaded() {
        TestForm a, b;
        a.show();
        b.show();
        bool stillRunningAfterFirst = false;
        QTimer::singleShot(10, [&] { closeByCloseBox(a); });
        QTimer::singleShot(60, [&] {
            stillRunningAfterFirst = true;
            closeByCloseBox(b);
        });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(99); }); // safety net
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(stillRunningAfterFirst);
    }

    void theMessageBoxShowsNumberAndSpanishDescription() {
        setErrorReporter({}); // the real message box
        QString shown, okText;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                okText = box->button(QMessageBox::Ok)->text();
                box->accept();
            }
        });
        // A name that would retitle and clear a terminal, with DEL, a C1 control and a line
        // feed too: shown as it is, written on standard error on one line with its control
        // characters escaped.
        const QString name = QStringLiteral("/figuras/x\x1b]0;PWNED\x07\x1b[2J\x7f\u009b\n\u00f1.bmp");
        QTemporaryFile errors;
        QVERIFY(errors.open());
        std::fflush(stderr);
        const int savedStderr = ::dup(2);
        ::dup2(errors.handle(), 2);
        const bool handled = raiseEvent([&] { throw RuntimeError(ErrorCode::FileNotFound, name); });
        std::fflush(stderr);
        ::dup2(savedStderr, 2);
        ::close(savedStderr);
        QVERIFY(!handled);
        QVERIFY2(shown.contains("'53'"), qPrintable(shown));
        QVERIFY(shown.contains(QStringLiteral("No se ha encontrado el archivo")));
        QVERIFY(shown.endsWith(QStringLiteral("\n\n") + name));
        QCOMPARE(okText, QStringLiteral("Aceptar"));
        const QByteArray escaped = QByteArray("/figuras/x\\x1b]0;PWNED\\x07\\x1b[2J\\x7f\\x9b\\x0a") +
                                   QStringLiteral("\u00f1.bmp").toUtf8();
        QVERIFY(errors.seek(0)); // standard error wrote through the same open file
        QCOMPARE(errors.readAll(),
                 "Kelvaria 500: error 53: No se ha encontrado el archivo: " + escaped + "\n");
        // Qt's messages (the event trace among them) reach whoever handled them before,
        // here the test's log, escaped the same way but for their line feeds.
        const QtMessageHandler before = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(before);
        installMessageEscaping();
        QTest::ignoreMessage(QtWarningMsg, "aviso:\n" + QByteArray(escaped).replace("\\x0a", "\n"));
        qWarning("aviso:\n%s", qPrintable(name));
        qInstallMessageHandler(before);
    }

    void everyErrorNumberHasASpanishDescription() {
        const ErrorCode all[] = {
            ErrorCode::InvalidArgument,   ErrorCode::OutOfMemory,      ErrorCode::FileNotFound,
            ErrorCode::DeviceUnavailable, ErrorCode::PermissionDenied, ErrorCode::DiskNotReady,
            ErrorCode::PathFileAccess,    ErrorCode::PathNotFound,     ErrorCode::InvalidPropertyValue,
            ErrorCode::InvalidPicture,    ErrorCode::PrinterError};
        QSet<QString> texts;
        for (ErrorCode c : all) {
            QVERIFY(!describe(c).isEmpty());
            texts.insert(describe(c));
        }
        QCOMPARE(texts.size(), int(std::size(all))); // no two share a text
        QCOMPARE(RuntimeError(ErrorCode::InvalidPicture).number(), 481);
    }
};

QTEST_MAIN(FrameTest)
#include "test_frame.moc"
