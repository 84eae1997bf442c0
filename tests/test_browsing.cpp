// Browsing: the drive, folder and file lists kept in step from the program's folder,
// and a clicked figure shown with its full path.
#include "app/globals.h"
#include "app/registry.h"
#include "app/startup.h"
#include "main_window/form1.h"
#include "platform/lists/drive_list.h"
#include "platform/lists/file_list.h"
#include "platform/lists/folder_list.h"
#include "platform/lists/list_rows.h"
#include "platform/runtime/events.h"
#include "platform/runtime/prepared_start.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/ui/widgets.h"
#include "platform/world/bounded_wait.h"
#include "platform/world/filesystem.h"
#include "platform/world/picture_file.h"

#include <QApplication>
#include <QClipboard>
#include <QCollator>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
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

// Gives a file or folder a name of raw bytes (one that need not be UTF-8).
void renameTo(const QString& from, const QByteArray& to) {
    QVERIFY(::rename(QFile::encodeName(from).constData(), to.constData()) == 0);
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
        QCOMPARE(form->Drive1.drive(), drive + "/");
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

    // Tab brings the focus into the file list while no row is chosen (a fresh folder):
    // the first key chooses the first figure, or the last for End and PageDown.
    void theFirstKeyInAFreshFileListChoosesAFigure() {
        QVERIFY(QDir().mkpath(prog + "/Una"));
        writePicture(prog + "/Una/sola.bmp", {10, 10}, Qt::blue);
        start();
        const auto tabIntoFiles = [this] {
            form->controlWidget("Command1")->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), file1());
        };
        const QList<Qt::Key> toFirst{Qt::Key_Down, Qt::Key_Up, Qt::Key_Home, Qt::Key_PageUp, Qt::Key_Space};
        for (const Qt::Key key : toFirst) {
            openFolder("Una");
            tabIntoFiles();
            QVERIFY(form->File1.fileName().isEmpty());
            QTest::keyClick(file1(), key);
            QVERIFY2(form->File1.fileName() == "sola.bmp", qPrintable(QString::number(key, 16)));
            QCOMPARE(form->Label1.caption(), prog + "/Una/sola.bmp");
            QVERIFY(!form->Picture1.picture().isNull());
            openFolder("prog");
        }
        const QList<std::pair<Qt::Key, QString>> inThree{
            {Qt::Key_Down, "A.BMP"},   {Qt::Key_Home, "A.BMP"},   {Qt::Key_Space, "A.BMP"},
            {Qt::Key_PageUp, "A.BMP"}, {Qt::Key_End, "roto.bmp"}, {Qt::Key_PageDown, "roto.bmp"}};
        for (const auto& [key, name] : inThree) {
            openFolder("Equipos");
            tabIntoFiles();
            trace.clear();
            QTest::keyClick(file1(), key);
            QCOMPARE(form->File1.fileName(), name);
            QCOMPARE(form->Label1.caption(), prog + "/Equipos/" + name);
            QCOMPARE(file1()->selectionModel()->selectedRows().size(), 1);
            QCOMPARE(trace.count("File1.Click"), 1);
            openFolder("prog");
        }
        // From then on the keys move as usual.
        openFolder("Equipos");
        tabIntoFiles();
        QTest::keyClick(file1(), Qt::Key_Down);
        QTest::keyClick(file1(), Qt::Key_Down);
        QCOMPARE(form->File1.fileName(), QStringLiteral("b.bmp"));
    }

    void theChosenFileCannotBeUnchosen() {
        start();
        openFolder("Equipos");
        clickFile(1);
        trace.clear();
        const QRect r = file1()->visualRect(file1()->model()->index(1, 0));
        QTest::mouseClick(file1()->viewport(), Qt::LeftButton, Qt::ControlModifier, r.center());
        QTest::keyClick(file1(), Qt::Key_Space, Qt::ControlModifier);
        QTest::mouseClick(file1()->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(form->File1.fileName(), QStringLiteral("b.bmp"));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QVERIFY(!form->Picture1.picture().isNull());
        QVERIFY(reported.isEmpty());
        QVERIFY(!trace.isEmpty()); // the plain click loads the file again
        for (const QString& event : trace)
            QCOMPARE(event, QStringLiteral("File1.Click"));
    }

    // A chain of 40 folders: the open folder's row and its subfolders stay in sight.
    void deepFoldersStayReadable() {
        QString deep = prog;
        for (int i = 1; i <= 40; ++i)
            deep += QString("/nivel%1").arg(i, 2, 10, QChar('0'));
        QVERIFY(QDir().mkpath(deep + "/hoja"));
        start();
        QVERIFY(raiseEvent([&] { form->Dir1.setPath(deep); }));
        const int current = dir1()->currentIndex().row();
        QCOMPARE(dir1()->rowPath(current), deep);
        const QImage shot = dir1()->viewport()->grab().toImage();
        const QColor highlight = dir1()->palette().color(QPalette::Highlight);
        const auto countIn = [&](int row, const std::function<bool(QColor)>& wanted) {
            const QRect r = dir1()->visualRect(dir1()->model()->index(row, 0)) & shot.rect();
            int n = 0;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    n += wanted(shot.pixelColor(x, y));
            return n;
        };
        // The open folder is highlighted over a good part of the width, with its name.
        QVERIFY(countIn(current, [&](QColor c) { return c == highlight; }) > 40 * 10);
        QVERIFY(countIn(current, [&](QColor c) { return c.lightness() > 200; }) > 10);
        // Its subfolder's name is drawn in the list's text colour.
        QVERIFY(countIn(current + 1, [](QColor c) { return c.lightness() < 100; }) > 10);
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

    // The folder list's tree starts at its drive's mount point and cannot climb above
    // it; another drive mounted further down is entered as a folder of this drive.
    void theFolderTreeStaysOnItsDrive() {
        const QString usb = program.folder.path() + "/usb";
        QVERIFY(QDir().mkpath(usb + "/Fotos"));
        QVERIFY(QDir().mkpath(usb + "/otra/Dentro"));
        writePicture(usb + "/Fotos/f.bmp", {10, 10}, Qt::blue);
        setDriveSource([usb] { return QStringList{"/", usb, usb + "/otra"}; });
        start();
        QCOMPARE(drive1()->findText(usb + "/"), 1); // a drive's text ends with the separator
        drive1()->setCurrentIndex(1);
        emit drive1()->activated(1);
        QCOMPARE(form->Dir1.path(), usb);
        QCOMPARE(dir1()->rowPath(0), usb); // the tree's first row is the drive's root
        QCOMPARE(dir1()->model()->index(0, 0).data().toString(), usb);
        openFolder(usb); // opening the root stays on the drive
        QCOMPARE(form->Dir1.path(), usb);
        QCOMPARE(form->Drive1.drive(), usb + "/");
        openFolder("otra"); // another drive's mount point, inside this drive's tree
        openFolder("Dentro");
        QCOMPARE(form->Drive1.drive(), usb + "/");
        QCOMPARE(dir1()->rowPath(0), usb);
        // Another drive, then this one again: it opens where the user left it.
        drive1()->setCurrentIndex(0);
        emit drive1()->activated(0);
        QCOMPARE(form->Dir1.path(), prog);
        drive1()->setCurrentIndex(1);
        emit drive1()->activated(1);
        QCOMPARE(form->Dir1.path(), usb + "/otra/Dentro");
        QCOMPARE(form->File1.path(), usb + "/otra/Dentro");
        QVERIFY(reported.isEmpty());
    }

    void aProgramFolderThatIsAMountPointOpensAsItself() {
        setDriveSource([this] { return QStringList{"/", prog}; });
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(prog + "/Equipos")); // the working folder lies below it
        start();
        QDir::setCurrent(before);
        QCOMPARE(form->Drive1.drive(), prog + "/");
        QCOMPARE(form->Dir1.path(), prog);
        QCOMPARE(form->File1.path(), prog);
    }

    // A stick pulled out while shown: its folder stays, empty, so nothing fails by
    // itself. The next use of a list notices it, tells the disk is not ready, and the
    // lists move to the program folder's drive.
    void aDriveTakenAwayIsNoticedWhenAListIsUsed() {
        const QString usb = program.folder.path() + "/stick";
        QVERIFY(QDir().mkpath(usb + "/Fotos"));
        writePicture(usb + "/Fotos/f.bmp", {10, 10}, Qt::blue);
        writePicture(usb + "/Fotos/g.bmp", {10, 10}, Qt::green);
        QStringList mounted{"/", usb};
        setDriveSource([&mounted] { return mounted; });
        start();
        const auto toStick = [&] {
            drive1()->showPopup(); // the user opens the list: the drives are read again
            drive1()->hidePopup();
            drive1()->setCurrentIndex(drive1()->findText(usb + "/"));
            emit drive1()->activated(drive1()->currentIndex());
            openFolder("Fotos");
            QCOMPARE(form->File1.path(), usb + "/Fotos");
        };
        toStick();
        clickFile(0);
        mounted.removeAll(usb); // pulled out
        clickFile(1);
        QCOMPARE(reported, QList<int>{71});
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(drive1()->findText(usb + "/"), -1);
        QCOMPARE(form->Dir1.path(), prog);
        QCOMPARE(form->File1.path(), prog);
        QCOMPARE(form->Label1.caption(), usb + "/Fotos/f.bmp"); // the last figure chosen stays
        // Through the folder list too, and with the program folder on the stick itself.
        mounted.append(usb);
        toStick();
        mounted.removeAll(usb);
        openFolder("Fotos");
        QCOMPARE(reported, (QList<int>{71, 71}));
        QCOMPARE(form->Dir1.path(), prog);
        QVERIFY(dir1()->rowPath(0) == "/");
        // Copia of a figure shown from a stick pulled out: the disk is not ready.
        mounted.append(usb);
        toStick();
        clickFile(0);
        mounted.removeAll(usb);
        QVERIFY(QDir(usb + "/Fotos").removeRecursively()); // its folder stays, empty
        form->SSCommand1.click();
        QCOMPARE(reported, (QList<int>{71, 71, 71}));
        QTRY_COMPARE(form->Dir1.path(), prog); // and the lists leave the stick
        // The program's own folder on the stick: once it is pulled, the lists go to the
        // root drive at its root, and every list works from there.
        QVERIFY(QDir().mkpath(usb + "/Fotos"));
        writePicture(usb + "/Fotos/f.bmp", {10, 10}, Qt::blue);
        program.finish();
        program.start();
        setDriveSource([&mounted] { return mounted; });
        mounted.append(usb);
        prog = usb;
        start();
        QCOMPARE(form->Drive1.drive(), usb + "/");
        openFolder("Fotos");
        mounted.removeAll(usb);
        QVERIFY(QDir(usb).removeRecursively());
        clickFile(0);
        QCOMPARE(reported, QList<int>{71});
        QCOMPARE(form->Drive1.drive(), QStringLiteral("/"));
        QCOMPARE(form->Dir1.path(), QStringLiteral("/"));
        QCOMPARE(form->File1.path(), QStringLiteral("/"));
        openFolder("tmp");
        QCOMPARE(form->Dir1.path(), QStringLiteral("/tmp"));
        drive1()->showPopup();
        drive1()->hidePopup();
        QCOMPARE(reported, QList<int>{71});
    }

    // Drives come from the mount table without any mount point being looked at: a dead
    // network server would hold the window up. Removable media under /media, /mnt and
    // /run/media/USER are drives; the system's own folders are not.
    void theMountTableIsReadWithoutLookingAtMountPoints() {
        QFile table(program.folder.filePath("mounts"));
        QVERIFY(table.open(QIODevice::WriteOnly));
        table.write("/dev/sda1 / ext4 rw 0 0\n"
                    "proc /proc proc rw 0 0\n"
                    "tmpfs /run tmpfs rw 0 0\n"
                    "/dev/sdb1 /run/media/ana/PEN\\040AZUL vfat rw 0 0\n"
                    "/dev/sdc1 /run/lock/x ext4 rw 0 0\n"
                    "/dev/sdd1 /media/usb ext4 rw 0 0\n"
                    "/dev/sde1 /mnt/disco ext4 rw 0 0\n"
                    "servidor:/figuras /kv-no-existe/red nfs4 rw 0 0\n");
        table.close();
        setMountTable(table.fileName());
        QCOMPARE(mountedDrives(), (QStringList{"/", "/kv-no-existe/red/", "/media/usb/", "/mnt/disco/",
                                               "/run/media/ana/PEN AZUL/"}));
        start(); // and the window shows with them
        QCOMPARE(drive1()->count(), 5);
        QVERIFY(reported.isEmpty());
    }

    // Names that are not UTF-8 show as Windows-1252 ("categor\xeda" as "categoría") and
    // open by their own bytes: listing, the path under the box, loading, loading again.
    void namesThatAreNotUtf8OpenByTheirOwnBytes() {
        const QByteArray equipos = QFile::encodeName(prog + "/Equipos");
        writePicture(prog + "/Equipos/tmp1.bmp", {12, 12}, Qt::cyan);
        renameTo(prog + "/Equipos/tmp1.bmp", equipos + "/categor\xed"
                                                       "a.bmp");
        QVERIFY(QDir().mkpath(prog + "/tmpdir"));
        writePicture(prog + "/tmpdir/x.bmp", {12, 12}, Qt::magenta);
        renameTo(prog + "/tmpdir", QFile::encodeName(prog) + "/\xff\xfe"
                                                             "Dir");
        start();
        openFolder("Equipos");
        const int row = static_cast<int>(file1()->fileNames().indexOf(QString::fromUtf8("categoría.bmp")));
        QVERIFY2(row >= 0, qPrintable(file1()->fileNames().join(',')));
        clickFile(row);
        QVERIFY(reported.isEmpty());
        QCOMPARE(form->Label1.caption(), prog + QString::fromUtf8("/Equipos/categoría.bmp"));
        QCOMPARE(form->Picture1.picture().image().pixelColor(10, 10), QColor(Qt::cyan));
        QCOMPARE(LoadPicture(form->Label1.caption()).size(), QSize(12, 12)); // as Copia reads it
        openFolder("prog");
        openFolder(QString::fromUtf8("ÿþDir"));
        QCOMPARE(form->Dir1.path(), prog + QString::fromUtf8("/ÿþDir"));
        QCOMPARE(file1()->fileNames(), QStringList{"x.bmp"});
        clickFile(0);
        QVERIFY(reported.isEmpty());
        QCOMPARE(form->Picture1.picture().image().pixelColor(10, 10), QColor(Qt::magenta));
        // The bytes come back whole, folder and name.
        const QByteArray raw = QFile::encodeName(prog) + "/\xff\xfe"
                                                         "Dir/x.bmp";
        QCOMPARE(nativePath(pathFromNative(raw)), raw);
        QCOMPARE(nativePath(form->Dir1.path() + "/x.bmp"), raw);
    }

    // Two names that read alike: "café.bmp" in UTF-8, and the same in Windows-1252.
    // Each row reads differently (the one that is not UTF-8 shows those bytes written
    // "\xE9") and opens its own file: a click, Copia, the command line. A name renamed to
    // UTF-8 while the program runs opens by the name it has now.
    void namesThatReadAlikeEachOpenTheirOwnFile() {
        // Should the written-out form be a real name too, a number tells them apart.
        QCOMPARE(shownNames({"caf\xc3\xa9.bmp", "caf\xe9.bmp", "caf\\xE9.bmp", "\x80\x81\xff"}),
                 (QStringList{QString::fromUtf8("café.bmp"), "caf\\xE9 (2).bmp", "caf\\xE9.bmp",
                              QString::fromUtf8("€\u0081ÿ")}));
        const QByteArray equipos = QFile::encodeName(prog + "/Equipos");
        writePicture(prog + "/Equipos/café.bmp", {14, 14}, Qt::yellow);
        writePicture(prog + "/Equipos/tmp.bmp", {16, 16}, Qt::cyan);
        renameTo(prog + "/Equipos/tmp.bmp", equipos + "/caf\xe9.bmp");
        QVERIFY(QDir().mkpath(prog + "/Equipos/año"));
        QVERIFY(QDir().mkpath(prog + "/Equipos/tmpdir"));
        renameTo(prog + "/Equipos/tmpdir", equipos + "/a\xf1o");
        writePicture(prog + "/Equipos/tmp.bmp", {18, 18}, Qt::magenta);
        renameTo(prog + "/Equipos/tmp.bmp", equipos + "/ren\xe9.bmp");
        start();
        openFolder("Equipos");
        const QStringList names = file1()->fileNames();
        QCOMPARE(names.filter("caf").size(), 2);
        QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
        QVERIFY2(names.contains(QString::fromUtf8("café.bmp")) && names.contains("caf\\xE9.bmp"),
                 qPrintable(names.join(',')));
        QVERIFY(names.contains(QString::fromUtf8("rené.bmp"))); // no other name reads so
        QStringList folders;
        for (int row = 0; row < dir1()->rowCount(); ++row)
            folders << dir1()->model()->index(row, 0).data().toString();
        QVERIFY2(folders.contains(QString::fromUtf8("año")) && folders.contains("a\\xF1o"),
                 qPrintable(folders.join(',')));
        for (const auto& [name, size] :
             {std::pair{QString::fromUtf8("café.bmp"), 14}, {"caf\\xE9.bmp", 16}}) {
            clickFile(static_cast<int>(file1()->fileNames().indexOf(name)));
            QCOMPARE(form->Picture1.picture().size(), QSize(size, size));
            form->SSCommand1.click(); // Copia
            QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(size, size));
        }
        QVERIFY(reported.isEmpty());
        // Renamed to UTF-8 while shown, as a converter of names does.
        QVERIFY(::rename((equipos + "/caf\xe9.bmp").constData(), (equipos + "/otro.bmp").constData()) == 0);
        QVERIFY(::rename((equipos + "/ren\xe9.bmp").constData(), (equipos + "/rené.bmp").constData()) == 0);
        openFolder("prog");
        openFolder("Equipos");
        clickFile(static_cast<int>(file1()->fileNames().indexOf(QString::fromUtf8("rené.bmp"))));
        QCOMPARE(reported, QList<int>{});
        QCOMPARE(form->Picture1.picture().size(), QSize(18, 18));
        // The command line names a file by its bytes.
        renameTo(prog + "/Equipos/otro.bmp", equipos + "/caf\xe9.bmp");
        for (const auto& [name, size] : {std::pair{QByteArray("/caf\xe9.bmp"), 16}, {"/café.bmp", 14}}) {
            program.start();
            startWith(equipos + name);
            QCOMPARE(form->Picture1.picture().size(), QSize(size, size));
            form->SSCommand1.click();
            QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(size, size));
        }
        QVERIFY(reported.isEmpty());
    }

    // The same text in two spellings: "café.bmp" with é, and with e and a combining
    // accent, as files copied from some systems are named. The rows read apart (the one
    // not in composed form takes a number) and each opens its own file.
    void namesSpelledTwoWaysReadApart() {
        const QByteArray composed = "caf\xc3\xa9.bmp", decomposed = "cafe\xcc\x81.bmp";
        const QString numbered = QString::fromUtf8("cafe\xcc\x81 (2).bmp");
        QCOMPARE(shownNames({decomposed, composed, "\xe2\x84\xaa.bmp", "K.bmp"}),
                 (QStringList{numbered, QString::fromUtf8(composed), QString::fromUtf8("\u212a (2).bmp"),
                              "K.bmp"}));
        QCOMPARE(shownNames({decomposed, "caf\xe9.bmp"}),
                 (QStringList{QString::fromUtf8(decomposed), "caf\\xE9.bmp"}));
        const QByteArray equipos = QFile::encodeName(prog + "/Equipos");
        writePicture(prog + "/Equipos/tmp.bmp", {14, 14}, Qt::yellow);
        renameTo(prog + "/Equipos/tmp.bmp", equipos + "/" + composed);
        writePicture(prog + "/Equipos/tmp.bmp", {16, 16}, Qt::cyan);
        renameTo(prog + "/Equipos/tmp.bmp", equipos + "/" + decomposed);
        start();
        openFolder("Equipos");
        for (const auto& [name, size] : {std::pair{QString::fromUtf8(composed), 14}, {numbered, 16}}) {
            clickFile(static_cast<int>(file1()->fileNames().indexOf(name)));
            QCOMPARE(form->Picture1.picture().size(), QSize(size, size));
        }
        QVERIFY(reported.isEmpty());
    }

    // The lists follow what other programs do in the folder shown, raising nothing of
    // their own: the chosen file stays chosen; a chosen file that goes leaves the path
    // and the picture. A burst of changes is read again at most every half second while
    // it lasts, and once after it. F5 in any list reads drives, folders and files again.
    void theListsFollowTheDisk() {
        start();
        openFolder("Equipos");
        // The rows follow in place: every row inserted or removed as the lists announce.
        QAbstractItemModelTester fileRows(file1()->model(),
                                          QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModelTester folderRows(dir1()->model(),
                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
        clickFile(1);
        QCOMPARE(form->File1.fileName(), QStringLiteral("b.bmp"));
        trace.clear();
        writePicture(prog + "/Equipos/a2.bmp", {10, 10}, Qt::blue);
        QVERIFY(QDir().mkpath(prog + "/Equipos/Nueva"));
        QVERIFY(QFile::rename(prog + "/Equipos/c.Bmp", prog + "/Equipos/e.bmp"));
        QTRY_COMPARE_WITH_TIMEOUT(file1()->fileNames(),
                                  (QStringList{"A.BMP", "a2.bmp", "b.bmp", "e.bmp", "roto.bmp"}), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(dir1()->model()->index(dir1()->rowCount() - 1, 0).data().toString(),
                                  QStringLiteral("Nueva"), 1000);
        QCOMPARE(form->File1.fileName(), QStringLiteral("b.bmp"));
        QVERIFY(file1()->selectionModel()->isSelected(file1()->currentIndex()));
        QCOMPARE(form->Dir1.path(), prog + "/Equipos");
        QVERIFY(QFile::remove(prog + "/Equipos/b.bmp"));
        QTRY_COMPARE_WITH_TIMEOUT(file1()->fileNames().size(), 4, 1000);
        QCOMPARE(form->File1.fileName(), QString());
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp");
        QCOMPARE(form->Picture1.picture().size(), QSize(40, 30));
        QCOMPARE(trace, QStringList{});
        // The row in its place is the current one: Down goes on from there.
        QCOMPARE(file1()->currentIndex().row(), 2);
        QTest::keyClick(file1(), Qt::Key_Down);
        QCOMPARE(form->File1.fileName(), QStringLiteral("roto.bmp"));
        QCOMPARE(reported, QList<int>{481}); // (no picture in it)
        reported.clear();
        trace.clear();
        // A burst of 1.3 s: a file every 20 ms. Each reading inserts the new names, which
        // sort together, in one step.
        QSignalSpy resets(file1()->model(), &QAbstractItemModel::rowsInserted);
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; burst.elapsed() < 1300; ++i) {
            touch(QString("%1/Equipos/r%2.bmp").arg(prog).arg(i, 3, 10, QChar('0')));
            QTest::qWait(20);
        }
        const int written = static_cast<int>(QDir(prog + "/Equipos").entryList({"r[0-9]*.bmp"}).size());
        QTRY_COMPARE_WITH_TIMEOUT(file1()->fileNames().filter(QRegularExpression("^r\\d")).size(), written,
                                  1000);
        QTest::qWait(700);
        QVERIFY2(resets.size() >= 2 && resets.size() <= 5, qPrintable(QString::number(resets.size())));
        // F5: what no notice reports (another drive, a change read at once).
        QStringList mounted{"/", program.folder.path()};
        setDriveSource([&mounted] { return mounted; });
        touch(prog + "/Equipos/z.bmp");
        QVERIFY(QDir().mkpath(prog + "/Equipos/Zeta"));
        QTest::keyClick(file1(), Qt::Key_F5);
        QCOMPARE(file1()->fileNames().last(), QStringLiteral("z.bmp"));
        QCOMPARE(dir1()->model()->index(dir1()->rowCount() - 1, 0).data().toString(), QStringLiteral("Zeta"));
        QCOMPARE(drive1()->count(), 2);
        mounted.removeLast();
        QFile::remove(prog + "/Equipos/z.bmp");
        QTest::keyClick(drive1(), Qt::Key_F5);
        QCOMPARE(drive1()->count(), 1);
        QVERIFY(!file1()->fileNames().contains("z.bmp"));
        QCOMPARE(trace, QStringList{});
        QVERIFY(reported.isEmpty());
    }

    void aFolderMadeAgainIsFollowedAndOneThatWentIsLeft() {
        start();
        openFolder("Equipos");
        clickFile(1);
        // Written anew by another program: removed and made again under the same name.
        QVERIFY(QDir(prog + "/Equipos").removeRecursively());
        QVERIFY(QDir().mkpath(prog + "/Equipos"));
        touch(prog + "/Equipos/nuevo.bmp");
        QTRY_COMPARE_WITH_TIMEOUT(file1()->fileNames(), QStringList{"nuevo.bmp"}, 2000);
        touch(prog + "/Equipos/otro.bmp"); // and followed from then on
        QTRY_COMPARE_WITH_TIMEOUT(file1()->fileNames(), (QStringList{"nuevo.bmp", "otro.bmp"}), 2000);
        QVERIFY(reported.isEmpty());
        // Gone for good, a file of its name in its place: the lists go to the program
        // folder, once the user was told.
        QVERIFY(QDir(prog + "/Equipos").removeRecursively());
        touch(prog + "/Equipos");
        QTRY_COMPARE_WITH_TIMEOUT(form->Dir1.path(), prog, 2000);
        QCOMPARE(form->File1.path(), prog);
        QCOMPARE(reported, QList<int>{76});
        // The program folder itself gone, found by F5: the nearest folder above.
        QVERIFY(QDir(prog).removeRecursively());
        QTest::keyClick(file1(), Qt::Key_F5);
        QCOMPARE(form->Dir1.path(), QFileInfo(prog).path());
        QCOMPARE(form->File1.path(), QFileInfo(prog).path());
        QCOMPARE(reported, (QList<int>{76, 76}));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b.bmp"); // the figure shown stays
        QTest::qWait(700); // the notice of the folder that went changes nothing more
        QCOMPARE(reported.size(), 2);
    }

    void aReReadKeepsTheCurrentRowInSight() {
        start();
        openFolder("Equipos");
        clickFile(2);
        for (int i = 0; i < 2000; ++i)
            touch(QString("%1/Equipos/0%2.bmp").arg(prog).arg(i, 4, 10, QChar('0')));
        QTest::keyClick(file1(), Qt::Key_F5);
        QCOMPARE(form->File1.fileName(), QStringLiteral("c.Bmp"));
        QCOMPARE(file1()->visualRect(file1()->currentIndex()).top(), 2 * kListRowHeight);
    }

    void namesSortAsASpanishReaderExpects() {
        QStringList files{"avión", "erizo", "nube",  "oso",   "Zorro", "Águila",
                          "árbol", "Élite", "ñandú", "zorro", "Nube"};
        sortNames(files);
        QCOMPARE(files, (QStringList{"Águila", "árbol", "avión", "Élite", "erizo", "Nube", "nube", "ñandú",
                                     "oso", "Zorro", "zorro"}));
        for (const char* name : {"Animales", "Osos", "Zeta", "Árboles", "Ñu"})
            QVERIFY(QDir().mkpath(prog + "/Equipos/" + QString::fromUtf8(name)));
        for (const char* name : {"avión", "erizo", "Zorro", "Águila", "ñandú", "nube"})
            touch(prog + "/Equipos/" + QString::fromUtf8(name) + ".bmp");
        QCOMPARE(listSubfolders(prog + "/Equipos"),
                 (QStringList{"Animales", "Árboles", "carpeta.bmp", "Ñu", "Osos", "Zeta"}));
        QCOMPARE(listFiles(prog + "/Equipos", "*.bmp"),
                 (QStringList{"A.BMP", "Águila.bmp", "avión.bmp", "b.bmp", "c.Bmp", "erizo.bmp", "nube.bmp",
                              "ñandú.bmp", "roto.bmp", "Zorro.bmp"}));
    }

    // Any names sort as the Spanish collator orders them, ties by the characters' codes:
    // names of ASCII, of accented letters written as one character or as a letter and an
    // accent, ñ and Ñ, ü, and letters that are none of these. A folder of such names in
    // composed form lists them so too, each as itself, those of the pattern alone.
    void namesSortAsTheCollatorOrdersThem() {
        // Characters, and an accent and a tilde written apart.
        QStringList pieces = {QString::fromUtf8("e\u0301"), QString::fromUtf8("n\u0303")};
        for (const QChar c : QString::fromUtf8("aAbeEnNouzZ01 -_(áÁéÉóúüÜñÑàçôãßæ€日\u212a"))
            pieces.append(c);
        QRandomGenerator random(500);
        QSet<QString> made;
        while (made.size() < 3000) {
            QString name;
            const int length = 1 + int(random.bounded(6));
            for (int i = 0; i < length; ++i)
                name += pieces.at(random.bounded(int(pieces.size())));
            made.insert(name);
        }
        QCollator collator(QLocale(QLocale::Spanish, QLocale::Spain));
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        const auto expected = [&](QStringList names) {
            std::sort(names.begin(), names.end(), [&](const QString& a, const QString& b) {
                const int c = collator.compare(a, b);
                return c != 0 ? c < 0 : a < b;
            });
            return names;
        };
        QStringList names(made.begin(), made.end());
        sortNames(names);
        QCOMPARE(names, expected(names));
        // On disk: the names of Latin letters in composed form (one of two that read
        // alike), as bitmaps and as other files.
        QStringList bitmaps;
        QSet<QString> composed;
        for (const QString& name : made)
            if (std::all_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x2000; }))
                composed.insert(name.normalized(QString::NormalizationForm_C));
        QVERIFY(QDir().mkpath(prog + "/Nombres"));
        int n = 0;
        for (const QString& name : composed) {
            const QString file = name + (n++ % 3 ? ".bmp" : n % 2 ? QString::fromUtf8(".bmpñ") : ".txt");
            touch(prog + "/Nombres/" + file);
            if (file.endsWith(".bmp"))
                bitmaps.append(file);
        }
        QCOMPARE(listFiles(prog + "/Nombres", "*.BMP"), expected(bitmaps));
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
        QCOMPARE(form->Drive1.drive(), drive + "/");
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

    // Drops from other programs: what a file manager gives (text/uri-list), with names
    // of any bytes. Only a local figure or folder is taken, as a copy; the first figure
    // of several; a folder opens alone; the window opens it as the command line does.
    void dropsOpenAFigureOrAFolderAndRefuseTheRest() {
        QDir(prog + "/Equipos").rename("b.bmp", "b con espacio.bmp");
        writePicture(prog + "/Equipos/tmp.bmp", {12, 12}, Qt::cyan);
        const QByteArray odd = bytes(prog) + "/Equipos/\xe9t\xe9.bmp";
        renameTo(prog + "/Equipos/tmp.bmp", odd);
        start();
        const QByteArray equipos = "file://" + bytes(prog + "/Equipos").toPercentEncoding("/");
        QWidget* window = form->window();
        const auto drop = [&](const QByteArray& uris,
                              Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
            QMimeData data;
            data.setData("text/uri-list", uris);
            const QPointF at(window->width() / 2, window->height() / 2);
            QDragEnterEvent enter(at.toPoint(), actions, &data, Qt::LeftButton, {});
            QApplication::sendEvent(window, &enter);
            if (!enter.isAccepted())
                return false;
            QDropEvent dropped(at, actions, &data, Qt::LeftButton, {});
            QApplication::sendEvent(window, &dropped);
            QTest::qWait(0); // the opening follows the drop
            return dropped.isAccepted() && dropped.dropAction() == Qt::CopyAction;
        };
        QVERIFY(!drop("http://example.com/a.bmp\r\n"));
        QVERIFY(!drop("file://otra-maquina" + equipos.mid(7) + "/c.Bmp\r\n"));
        QVERIFY(!drop(equipos + "/notas.txt\r\n"));
        QVERIFY(!drop(equipos + "/c.Bmp\r\n", Qt::MoveAction)); // a move would lose the file
        form->setEnabled(false);
        QVERIFY(!drop(equipos + "/c.Bmp\r\n"));
        form->setEnabled(true);
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change"}));

        // Several: the first figure, here one whose name is not valid text.
        QVERIFY(drop("# comentario\r\n" + equipos + "/notas.txt\r\n" + equipos + "/%E9t%E9.bmp\r\n" +
                     equipos + "/c.Bmp\r\n"));
        QCOMPARE(trace, (QStringList{"Form1.Load", "Dir1.Change", "Form1.OLEDragDrop", "Dir1.Change",
                                     "File1.Click"}));
        QCOMPARE(form->Label1.file().native, odd);
        QCOMPARE(form->Picture1.picture().image().pixelColor(10, 10), QColor(Qt::cyan));
        QVERIFY(drop("file://localhost" + equipos.mid(7) + "/b%20con%20espacio.bmp\n"));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/b con espacio.bmp");

        // A drop while a step waits on the world outside: taken at once, opened after it.
        trace.clear();
        QTimer::singleShot(100, [&] { trace << (drop(equipos + "/A.BMP\r\n") ? "taken" : "refused"); });
        runBounded(QStringLiteral("/lento"), RuntimeError(ErrorCode::DeviceUnavailable), {},
                   [] { QThread::msleep(500); });
        trace << "waited";
        QTest::qWait(50);
        QCOMPARE(trace, (QStringList{"taken", "waited", "Form1.OLEDragDrop", "File1.Click"}));
        QCOMPARE(form->Label1.caption(), prog + "/Equipos/A.BMP");

        // A folder (as a file manager may write it, with a slash at the end) opens alone.
        trace.clear();
        QVERIFY(drop("file://" + bytes(prog + "/Diagramas/").toPercentEncoding("/") + "\r\n"));
        QCOMPARE(trace, (QStringList{"Form1.OLEDragDrop", "Dir1.Change"}));
        QCOMPARE(form->Dir1.path(), prog + "/Diagramas");
        QCOMPARE(form->File1.fileName(), QString());

        // A figure that went between the drag and the drop: its message, the lists stay.
        QVERIFY(QFile::remove(prog + "/Equipos/c.Bmp"));
        QVERIFY(drop(equipos + "/c.Bmp\r\n"));
        QCOMPARE(reported, QList<int>{53});
        QCOMPARE(form->Dir1.path(), prog + "/Diagramas");
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
        const std::optional<Picture> ready = takePreparedPicture(bytes(file));
        QVERIFY(ready.has_value());
        QCOMPARE(ready->image(), loadPictureFile(file).image());
        QVERIFY(!takePreparedPicture(bytes(file)).has_value()); // given once
        finishPreparedStart();
    }

    void aPreparedPictureOfAChangedFileIsNotUsed() {
        const QString file = prog + "/Equipos/b.bmp";
        prepareStart(bytes(file));
        finishPreparedStart(); // (waits for the work; nothing is taken)
        QVERIFY(!takePreparedPicture(bytes(file)).has_value());
        prepareStart(bytes(file));
        QTest::qWait(20);
        writePicture(file, {40, 30}, Qt::magenta); // rewritten while the program starts
        QVERIFY(!takePreparedPicture(bytes(file)).has_value());
        startWith(bytes(file));
        QCOMPARE(form->Picture1.picture().image().pixelColor(20, 20), QColor(Qt::magenta));
    }

    void aPreparedPictureIsNotTakenForAnotherFile() {
        prepareStart(bytes(prog + "/Equipos/A.BMP"));
        QVERIFY(!takePreparedPicture(bytes(prog + "/Equipos/b.bmp")).has_value());
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
        const QStringList drives{"/", "/media/usb/", "/media/usb2/"};
        QCOMPARE(driveOf("/media/usb2/fotos", drives), QStringLiteral("/media/usb2/"));
        QCOMPARE(driveOf("/media/usb", drives), QStringLiteral("/media/usb/"));
        QCOMPARE(driveOf("/media/usbx/a", drives), QStringLiteral("/"));
        QCOMPARE(driveOf("/home/ana", drives), QStringLiteral("/"));
        QCOMPARE(mountedDrives().front(), QStringLiteral("/"));
        for (const QString& d : mountedDrives())
            QVERIFY2(!d.startsWith("/proc") && !d.startsWith("/sys") && !d.startsWith("/dev"), qPrintable(d));
    }
};

QTEST_MAIN(BrowsingTest)
#include "test_browsing.moc"
