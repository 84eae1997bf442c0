// Browsing: the drive, folder and file lists kept in step from the program's folder,
// and a clicked figure shown with its full path.
#include "app/globals.h"
#include "app/registry.h"
#include "app/startup.h"
#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/list_widgets.h"
#include "platform/prepared_start.h"
#include "platform/runtime.h"
#include "platform/runtime_error.h"
#include "platform/widgets.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

#include "support.h"

using namespace kv;

namespace {

// Writes a 24-bit picture file whose top-left 8 x 8 pixels are `corner` and the rest `fill`.
void writePicture(const QString& path, QSize size, QColor fill, QColor corner = Qt::red) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(fill);
    for (int y = 0; y < 8 && y < size.height(); ++y)
        for (int x = 0; x < 8 && x < size.width(); ++x)
            img.setPixelColor(x, y, corner);
    QVERIFY(img.save(path, "BMP"));
}

void touch(const QString& path, const QByteArray& bytes = "x") {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

class BrowsingTest : public QObject {
    Q_OBJECT
    QString prog; // the program's folder, with its categories
    QStringList trace;
    FreshProgram program;
    QList<int>& reported = program.reported;
    Form1* form = nullptr;

    FileListWidget* file1() { return static_cast<FileListWidget*>(form->controlWidget("File1")); }
    DirListWidget* dir1() { return static_cast<DirListWidget*>(form->controlWidget("Dir1")); }
    DriveListWidget* drive1() { return static_cast<DriveListWidget*>(form->controlWidget("Drive1")); }

    void start() {
        App().setPath(prog);
        form = &*registry::Form1;
        QVERIFY(raiseEvent([this] { form->show(); }));
        QVERIFY(QTest::qWaitForWindowExposed(form->window()));
    }
    void openFolder(const QString& name) {
        for (int row = 0; row < dir1()->rowCount(); ++row)
            if (dir1()->model()->index(row, 0).data().toString() == name) {
                const QModelIndex index = dir1()->model()->index(row, 0);
                dir1()->scrollTo(index);
                const QPoint at = dir1()->visualRect(index).center();
                QTest::mouseClick(dir1()->viewport(), Qt::LeftButton, {}, at);
                QTest::mouseDClick(dir1()->viewport(), Qt::LeftButton, {}, at);
                return;
            }
        QFAIL(qPrintable("no folder row " + name));
    }
    void clickFile(int row) {
        file1()->scrollTo(file1()->model()->index(row, 0));
        const QRect r = file1()->visualRect(file1()->model()->index(row, 0));
        QTest::mouseClick(file1()->viewport(), Qt::LeftButton, {}, r.center());
    }
    QImage box() { return form->controlWidget("Picture1")->grab().toImage(); }

private slots:
    void initTestCase() { QVERIFY(program.prepare()); }
    void init() {
        program.start();
        trace.clear();
        setEventTrace([this](const char* c, const char* e) { trace << QString("%1.%2").arg(c, e); });
        prog =
            program.folder.path() + "/run" + QString::number(QDateTime::currentMSecsSinceEpoch()) + "/prog";
        QVERIFY(QDir().mkpath(prog + "/Equipos"));
        QVERIFY(QDir().mkpath(prog + "/conexiones"));
        QVERIFY(QDir().mkpath(prog + "/Diagramas"));
        QVERIFY(QDir().mkpath(prog + "/.oculta"));
        writePicture(prog + "/Equipos/b.bmp", {40, 30}, Qt::blue);
        writePicture(prog + "/Equipos/A.BMP", {300, 320}, Qt::green, Qt::red);
        writePicture(prog + "/Equipos/c.Bmp", {20, 20}, Qt::yellow);
        touch(prog + "/Equipos/.oculta.bmp");
        touch(prog + "/Equipos/notas.txt");
        touch(prog + "/Equipos/d.bmpx");
        QVERIFY(QDir().mkpath(prog + "/Equipos/carpeta.bmp"));
        touch(prog + "/Equipos/roto.bmp", "BM no es una imagen");
    }
    void cleanup() { program.finish(); }

    void startsAtTheProgramsFolderOnItsDrive() {
        start();
        // The working folder is on "/" like the program: the drive does not change.
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change"}));
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(form->Dir1.path(), prog);
        QCOMPARE(form->File1.path(), prog);
        QVERIFY(file1()->fileNames().isEmpty()); // no figures in the program folder itself
        // The path from the root down, then the categories sorted without regard to case.
        const QStringList parts = prog.split('/', Qt::SkipEmptyParts);
        QCOMPARE(dir1()->rowCount(), 1 + parts.size() + 3);
        QCOMPARE(dir1()->rowPath(0), QStringLiteral("/"));
        QCOMPARE(dir1()->rowPath(parts.size()), prog);
        QCOMPARE(dir1()->rowPath(parts.size() + 1), prog + "/conexiones");
        QCOMPARE(dir1()->rowPath(parts.size() + 2), prog + "/Diagramas");
        QCOMPARE(dir1()->rowPath(parts.size() + 3), prog + "/Equipos");
        QCOMPARE(dir1()->currentIndex().row(), parts.size()); // the open folder is highlighted
    }

    void startsOnAnotherDriveThroughNestedChanges() {
        const QString drive = program.folder.path();
        setDriveSource([drive] { return QStringList{"/", drive}; });
        QStringList dirPaths;
        setEventTrace([&](const char* c, const char* e) {
            trace << QString("%1.%2").arg(c, e);
            if (QString(c) == "Dir1")
                dirPaths << form->Dir1.path();
        });
        start();
        QCOMPARE(trace, (QStringList{"Form1.Load", "Drive1.Change", "Dir1.Change", "Dir1.Change"}));
        QCOMPARE(dirPaths, (QStringList{drive, prog})); // briefly at the drive's current folder
        QCOMPARE(form->Drive1.drive(), drive);
        QCOMPARE(form->File1.path(), prog);
    }

    void aDriveGoesBackToItsCurrentFolder() {
        const QString drive = program.folder.path();
        setDriveSource([drive] { return QStringList{"/", drive}; });
        start();
        openFolder("Equipos");
        QCOMPARE(form->Dir1.path(), prog + "/Equipos");
        trace.clear();
        drive1()->setCurrentIndex(0);
        emit drive1()->activated(0); // the user picks "/"
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(trace, (QStringList{"Drive1.Change", "Dir1.Change"}));
        drive1()->setCurrentIndex(1);
        emit drive1()->activated(1); // and the test's drive again
        QCOMPARE(form->Dir1.path(), prog + "/Equipos");
        QCOMPARE(form->File1.path(), prog + "/Equipos");
    }

    void settingTheFolderShownRaisesNoChange() {
        start();
        trace.clear();
        QVERIFY(raiseEvent([this] { form->Dir1.setPath(prog); }));
        QVERIFY(raiseEvent([this] { form->Dir1.setPath(prog + "/"); }));
        QVERIFY(trace.isEmpty());
    }

    void theFileListShowsBitmapsOfAnyCaseSorted() {
        start();
        openFolder("Equipos");
        QCOMPARE(file1()->fileNames(), (QStringList{"A.BMP", "b.bmp", "c.Bmp", "roto.bmp"}));
        openFolder("prog"); // an ancestor line goes up
        openFolder("Diagramas");
        QVERIFY(file1()->fileNames().isEmpty());
        QVERIFY(matchesPattern("Foto.Bmp", "*.bmp"));
        QVERIFY(matchesPattern("a.ico", "*.bmp;*.ico"));
        QVERIFY(!matchesPattern("a.bmp.txt", "*.bmp"));
        QVERIFY(matchesPattern("x1.bmp", "?1.*"));
    }

    void aClickShowsThePathAndThePictureClipped() {
        start();
        openFolder("Equipos");
        clickFile(0);
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/A.BMP");
        QCOMPARE(form->Picture1.picture().size(), QSize(300, 320));
        // Drawn from the inner top-left corner at its own size, cut off at the inner edges.
        const QImage shot = box();
        QCOMPARE(shot.size(), QSize(193, 193));
        QCOMPARE(shot.pixelColor(2, 2), QColor(Qt::red));
        QCOMPARE(shot.pixelColor(9, 9), QColor(Qt::red));
        QCOMPARE(shot.pixelColor(10, 10), QColor(Qt::green));
        QCOMPARE(shot.pixelColor(190, 190), QColor(Qt::green));
        QVERIFY(shot.pixelColor(192, 192) != QColor(Qt::green)); // the edge stays
        QVERIFY(shot.pixelColor(1, 1) != QColor(Qt::red));
        QVERIFY(reported.isEmpty());
    }

    void aSmallPictureLeavesTheBoxBackground() {
        start();
        openFolder("Equipos");
        clickFile(2); // c.Bmp, 20 x 20
        const QImage shot = box();
        QCOMPARE(shot.pixelColor(2 + 19, 2 + 19), QColor(Qt::yellow));
        QCOMPARE(shot.pixelColor(2 + 20, 2 + 20),
                 form->controlWidget("Picture1")->palette().color(QPalette::Window));
    }

    void theSameFileTwiceIsReadTwice() {
        start();
        openFolder("Equipos");
        clickFile(1);
        QCOMPARE(form->Picture1.picture().image().pixelColor(20, 20), QColor(Qt::blue));
        writePicture(prog + "/Equipos/b.bmp", {40, 30}, Qt::magenta);
        clickFile(1);
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QCOMPARE(form->Picture1.picture().image().pixelColor(20, 20), QColor(Qt::magenta));
    }

    void theKeyboardMovesThePictureToo() {
        start();
        openFolder("Equipos");
        clickFile(0);
        trace.clear();
        QTest::keyClick(file1(), Qt::Key_Down);
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QTest::keyClick(file1(), Qt::Key_End);
        QCOMPARE(form->File1.fileName(), QStringLiteral("roto.bmp"));
        QTest::keyClick(file1(), Qt::Key_Home);
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/A.BMP");
        QTest::keyClicks(file1(), "c");
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/c.Bmp");
        QCOMPARE(trace.count("File1.Click"), 4);
    }

    void thePathAndPictureStayWhileBrowsingElsewhere() {
        start();
        openFolder("Equipos");
        clickFile(1);
        const QImage shown = form->Picture1.picture().image();
        openFolder("prog");
        openFolder("Diagramas");
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QCOMPARE(form->Picture1.picture().image(), shown);
    }

    void atTheRootNoSeparatorIsDoubled() {
        const QString name = QString("kv-prueba-%1.bmp").arg(QCoreApplication::applicationPid());
        QFile probe("/" + name);
        if (!probe.open(QIODevice::WriteOnly))
            QSKIP("the root folder is not writable here");
        probe.close();
        writePicture("/" + name, {10, 10}, Qt::blue);
        start();
        openFolder("/");
        QCOMPARE(form->File1.path(), QStringLiteral("/"));
        const int row = static_cast<int>(file1()->fileNames().indexOf(name));
        QVERIFY(row >= 0);
        clickFile(row);
        QFile::remove("/" + name);
        QCOMPARE(form->Label1.caption(), "/" + name);
        QVERIFY(!form->Picture1.picture().isNull());
    }

    void aFileThatIsNoPictureEmptiesTheBoxAndKeepsThePathTried() {
        start();
        openFolder("Equipos");
        clickFile(1);
        QVERIFY(!form->Picture1.picture().isNull());
        clickFile(3); // roto.bmp
        QCOMPARE(reported, QList<int>{481});
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/roto.bmp");
        QVERIFY(form->Picture1.picture().isNull());
        QFile::remove(prog + "/Equipos/c.Bmp"); // gone since it was listed
        clickFile(2);
        QCOMPARE(reported, (QList<int>{481, 53}));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/c.Bmp");
        clickFile(0); // and the program goes on
        QCOMPARE(form->Picture1.picture().size(), QSize(300, 320));
    }

    void aFolderThatCannotBeOpenedLeavesBothListsInPlace() {
        start();
        QVERIFY(QDir(prog + "/Diagramas").removeRecursively());
        trace.clear();
        openFolder("Diagramas");
        QCOMPARE(reported, QList<int>{76});
        QCOMPARE(form->Dir1.path(), prog);
        QCOMPARE(form->File1.path(), prog);
        QVERIFY(!trace.contains("Dir1.Change"));
        openFolder("Equipos"); // still usable
        QCOMPARE(form->File1.path(), prog + "/Equipos");
    }

    void aDriveThatCannotBeReadGoesBackToTheFolderListsDrive() {
        const QString gone = program.folder.path() + "/unidad-retirada";
        QVERIFY(QDir().mkpath(gone));
        setDriveSource([gone] { return QStringList{"/", gone}; });
        start();
        QVERIFY(QDir(gone).removeRecursively()); // the medium is taken out
        drive1()->setCurrentIndex(1);
        emit drive1()->activated(1);
        QCOMPARE(reported, QList<int>{76});
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(drive1()->currentText(), QStringLiteral("/"));
        QCOMPARE(form->Dir1.path(), prog);
        QCOMPARE(form->File1.path(), prog);
    }

    void aProgramFolderThatCannotBeReadStopsTheStart() {
        App().setPath(program.folder.path() + "/no-existe/prog");
        form = &*registry::Form1;
        QVERIFY(!raiseEvent([this] { form->show(); }));
        QCOMPARE(reported, QList<int>{76});
        QVERIFY(!form->isLoaded());
    }

    // --- A file or folder given on the command line ---------------------------------

    // Starts as the program does with that argument (as its bytes); the run-time errors
    // shown go into the trace too, to see when they came.
    void startWith(const std::optional<QByteArray>& argument) {
        App().setPath(prog);
        form = &*registry::Form1;
        setErrorReporter([this](const RuntimeError& e) {
            reported.append(e.number());
            trace << QString("error %1").arg(e.number());
        });
        QVERIFY(startProgram(argument));
        QVERIFY(form->isVisible());
    }
    static QByteArray bytes(const QString& path) { return QFile::encodeName(path); }

    void aFileArgumentIsChosenAsByAClickAfterTheUsualStart() {
        startWith(bytes(prog + "/Equipos/b.bmp"));
        // The load event as always, then the folder list and a click in the file list.
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change", "Dir1.Change", "File1.Click"}));
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(form->Dir1.path(), prog + "/Equipos");
        QCOMPARE(form->File1.path(), prog + "/Equipos");
        QCOMPARE(form->File1.fileName(), QStringLiteral("b.bmp"));
        QCOMPARE(file1()->currentIndex().row(), 1);
        QVERIFY(file1()->selectionModel()->isSelected(file1()->currentIndex()));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QCOMPARE(form->Picture1.picture().size(), QSize(40, 30));
        QCOMPARE(form->window()->focusWidget(), file1()); // the keyboard goes on from there
        QVERIFY(reported.isEmpty());
        // The same as a user's click on that row gives.
        const QImage byArgument = box();
        clickFile(0);
        clickFile(1);
        QCOMPARE(box(), byArgument);
    }

    void theFileArgumentsRowIsScrolledIntoView() {
        for (int i = 0; i < 40; ++i)
            writePicture(QString("%1/Equipos/z%2.bmp").arg(prog).arg(i, 2, 10, QChar('0')), {4, 4}, Qt::blue);
        startWith(bytes(prog + "/Equipos/z39.bmp"));
        QCOMPARE(form->File1.fileName(), QStringLiteral("z39.bmp"));
        const QRect row = file1()->visualRect(file1()->currentIndex());
        QVERIFY(file1()->viewport()->rect().contains(row));
    }

    void aFileArgumentOnAnotherDriveChangesTheDriveFirst() {
        const QString drive = program.folder.path();
        setDriveSource([drive] { return QStringList{"/", drive}; });
        // The program on "/", the figure on the other drive.
        QTemporaryDir elsewhere("/var/tmp/kv-prog-XXXXXX");
        QVERIFY(elsewhere.isValid());
        const QString figures = prog + "/Equipos";
        prog = elsewhere.path();
        startWith(bytes(figures + "/A.BMP"));
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change", "Drive1.Change", "Dir1.Change",
                                     "Dir1.Change", "File1.Click"}));
        QCOMPARE(form->Drive1.drive(), drive);
        QCOMPARE(form->Dir1.path(), figures);
        QCOMPARE(form->Label1.caption(), figures + "/A.BMP");
    }

    void aFolderArgumentOpensThatFolderWithNoFileChosen() {
        startWith(bytes(prog + "/Equipos/"));
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change", "Dir1.Change"}));
        QCOMPARE(form->Dir1.path(), prog + "/Equipos");
        QCOMPARE(file1()->fileNames().size(), 4);
        QCOMPARE(form->File1.fileName(), QString());
        QCOMPARE(form->Label1.caption(), QString());
        QVERIFY(form->Picture1.picture().isNull());
    }

    void aRelativeArgumentIsTakenFromTheWorkingFolder() {
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(prog));
        startWith(QByteArray("Equipos/../Equipos/c.Bmp"));
        QDir::setCurrent(before);
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/c.Bmp");
        QCOMPARE(form->Picture1.picture().size(), QSize(20, 20));
    }

    void aMissingArgumentGivesTheMessageThenTheUsualStart() {
        for (const QString& missing : {prog + "/Equipos/no-existe.bmp", prog + "/no-existe/figura.bmp",
                                       prog + "/Equipos/b.bmp/x.bmp", QString()}) {
            program.start();
            trace.clear();
            startWith(bytes(missing));
            QCOMPARE(trace, (QStringList{"error 53", "Form1.Load", "Dir1.Change"}));
            QCOMPARE(form->Dir1.path(), prog);
            QCOMPARE(form->Label1.caption(), QString());
        }
    }

    void anUnreadableArgumentGivesTheMessageThenTheUsualStart() {
        if (::geteuid() == 0)
            QSKIP("permissions do not hold for root (the end-to-end test runs this unprivileged)");
        QFile::setPermissions(prog + "/Equipos/b.bmp", QFile::WriteOwner);
        startWith(bytes(prog + "/Equipos/b.bmp"));
        QCOMPARE(trace, (QStringList{"error 70", "Form1.Load", "Dir1.Change"}));
    }

    void aFileTheListDoesNotShowOpensItsFolderOnly() {
        for (const char* name : {"notas.txt", "d.bmpx", ".oculta.bmp"}) {
            program.start();
            trace.clear();
            startWith(bytes(prog + "/Equipos/" + name));
            QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change", "Dir1.Change"}));
            QCOMPARE(form->Dir1.path(), prog + "/Equipos");
            QCOMPARE(form->File1.fileName(), QString());
            QVERIFY(reported.isEmpty());
        }
    }

    void aBitmapNameThatIsNoPictureGivesItsMessageAndTheProgramGoesOn() {
        startWith(bytes(prog + "/Equipos/roto.bmp"));
        QCOMPARE(trace,
                 (QStringList{"Form1.Load", "Dir1.Change", "Dir1.Change", "File1.Click", "error 481"}));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/roto.bmp");
        QVERIFY(form->isVisible());
        clickFile(0);
        QCOMPARE(form->Picture1.picture().size(), QSize(300, 320));
    }

    // The figure decoded ahead while Qt starts stands in for reading the same file again,
    // once, and only while the file is as it was read.
    void aPreparedPictureStandsInOnceForTheUnchangedFile() {
        const QString file = prog + "/Equipos/A.BMP";
        prepareStart(bytes(file));
        const std::optional<Picture> ready = takePreparedPicture(file);
        QVERIFY(ready.has_value());
        QCOMPARE(ready->image(), loadPictureFile(file).image());
        QVERIFY(!takePreparedPicture(file).has_value()); // given once
        finishPreparedStart();
    }

    void aPreparedPictureOfAChangedFileIsNotUsed() {
        const QString file = prog + "/Equipos/b.bmp";
        prepareStart(bytes(file));
        finishPreparedStart(); // (waits for the work; nothing is taken)
        QVERIFY(!takePreparedPicture(file).has_value());
        prepareStart(bytes(file));
        QTest::qWait(20);
        writePicture(file, {40, 30}, Qt::magenta); // rewritten while the program starts
        QVERIFY(!takePreparedPicture(file).has_value());
        startWith(bytes(file));
        QCOMPARE(form->Picture1.picture().image().pixelColor(20, 20), QColor(Qt::magenta));
    }

    void aPreparedPictureIsNotTakenForAnotherFile() {
        prepareStart(bytes(prog + "/Equipos/A.BMP"));
        QVERIFY(!takePreparedPicture(prog + "/Equipos/b.bmp").has_value());
        QCOMPARE(LoadPicture(prog + "/Equipos/b.bmp").size(), QSize(40, 30));
        finishPreparedStart();
    }

    void aFileThatIsNoPictureIsNotPreparedAndGivesItsMessageWhenLoaded() {
        prepareStart(bytes(prog + "/Equipos/roto.bmp"));
        startWith(bytes(prog + "/Equipos/roto.bmp"));
        QCOMPARE(reported, QList<int>{481});
    }

    void withoutAnArgumentTheStartIsAsBefore() {
        startWith(std::nullopt);
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change"}));
        QCOMPARE(form->Dir1.path(), prog);
    }

    void theLongestMountPointHoldsAPath() {
        const QStringList drives{"/", "/media/usb", "/media/usb2"};
        QCOMPARE(driveOf("/media/usb2/fotos", drives), QStringLiteral("/media/usb2"));
        QCOMPARE(driveOf("/media/usb", drives), QStringLiteral("/media/usb"));
        QCOMPARE(driveOf("/media/usbx/a", drives), QStringLiteral("/"));
        QCOMPARE(driveOf("/home/ana", drives), QStringLiteral("/"));
        QCOMPARE(mountedDrives().front(), QStringLiteral("/"));
        for (const QString& d : mountedDrives())
            QVERIFY2(!d.startsWith("/proc") && !d.startsWith("/sys") && !d.startsWith("/dev"), qPrintable(d));
    }
};

QTEST_MAIN(BrowsingTest)
#include "test_browsing.moc"
