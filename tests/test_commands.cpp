// The main window's command buttons: copy, print, help, leave and close, through the
// window registry as the user presses them.
#include "app/globals.h"
#include "app/registry.h"
#include "main_window/form1.h"
#include "picture/bmp_reader.h"
#include "picture/png_writer.h"
#include "platform/lists/file_list.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/printing.h"
#include "windows/form2.h"
#include "windows/form3.h"
#include "windows/form4.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

#include "support.h"

using namespace kv;

namespace {

void writePicture(const QString& path, QColor fill, QSize size = {60, 50}) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(fill);
    img.setPixelColor(0, 0, Qt::black);
    QVERIFY(img.save(path, "BMP"));
}

QImage clipboardImage() {
    return QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32);
}

// A picture with the grain of a photograph, in the given form.
QImage grainy(QSize size, QImage::Format format) {
    QImage img(size, QImage::Format_ARGB32);
    quint32 seed = 12345;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            img.setPixel(x, y,
                         qRgba((x + (seed >> 28)) & 255, (y * 3 + (seed >> 24)) & 255, (seed >> 16) & 255,
                               255 - ((seed >> 8) & 127)));
        }
    if (format == QImage::Format_Indexed8) {
        QImage indexed(size, format);
        indexed.setColorCount(100); // fewer than the 256 indexes a byte holds
        for (int i = 0; i < 100; ++i)
            indexed.setColor(i, qRgba(i * 2, 255 - i, i, i < 10 ? i * 20 : 255));
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                indexed.setPixel(x, y, uint((x * 7 + y * 13) % 100));
        return indexed;
    }
    return img.convertToFormat(format);
}

// The pixels of a PNG as Qt's reader (libpng) reads them, checksums verified.
QImage readPng(const QByteArray& png) {
    QImage img;
    if (!img.loadFromData(png, "PNG"))
        return {};
    return img.convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class CommandsTest : public QObject {
    Q_OBJECT
    QString cat; // a category with three figures
    FreshProgram program;
    QList<int>& reported = program.reported;
    int printed = 0;
    QString pdf;
    Form1* form = nullptr;

    void press(const char* button) { QTest::mouseClick(form->controlWidget(button), Qt::LeftButton); }
    void clickFile(int row) {
        auto* list = static_cast<FileListWidget*>(form->controlWidget("File1"));
        list->choose(row);
    }
    // A print makes a page file; each check takes it away again.
    bool pagePrinted() {
        const bool made = QFile::exists(pdf);
        QFile::remove(pdf);
        return made;
    }

private slots:
    void initTestCase() { QVERIFY(program.prepare()); }
    void init() {
        program.start();
        const QString prog =
            program.folder.path() + "/p" + QString::number(QDateTime::currentMSecsSinceEpoch());
        cat = prog + "/Equipos";
        QVERIFY(QDir().mkpath(cat));
        writePicture(cat + "/a.bmp", Qt::red);
        writePicture(cat + "/b.bmp", Qt::green);
        writePicture(cat + "/c.bmp", Qt::blue, {400, 400});
        pdf = program.folder.filePath("page.pdf");
        QFile::remove(pdf);
        setPrintToFile(pdf);
        App().setPath(prog);
        form = &*registry::Form1;
        QVERIFY(raiseEvent([this] {
            form->show();
            form->Dir1.setPath(cat);
        }));
    }
    void cleanup() { program.finish(); }

    void copyPutsTheWholeFileOnTheClipboard() {
        clickFile(2); // 400 x 400: more than the box shows
        press("SSCommand1");
        QVERIFY(reported.isEmpty());
        const QImage copied = clipboardImage();
        QCOMPARE(copied.size(), QSize(400, 400));
        QCOMPARE(copied.pixelColor(399, 399), QColor(Qt::blue));
        QCOMPARE(copied.pixelColor(0, 0), QColor(Qt::black));
    }

    void copyReadsTheFileAgain() {
        clickFile(0);
        writePicture(cat + "/a.bmp", Qt::magenta); // changed on disk since the click
        press("SSCommand1");
        QCOMPARE(clipboardImage().pixelColor(10, 10), QColor(Qt::magenta));
        QCOMPARE(form->Picture1.picture().corner(QSize(20, 20)).pixelColor(10, 10),
                 QColor(Qt::red)); // the box is as it was
    }

    void aFailedCopyKeepsWhatTheClipboardHeld() {
        clickFile(1);
        press("SSCommand1");
        QCOMPARE(clipboardImage().pixelColor(10, 10), QColor(Qt::green));
        QVERIFY(QFile::remove(cat + "/b.bmp"));
        press("SSCommand1");
        QCOMPARE(reported, QList<int>{53});
        QCOMPARE(clipboardImage().pixelColor(10, 10), QColor(Qt::green));
        QFile broken(cat + "/b.bmp");
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("BM roto");
        broken.close();
        press("SSCommand1");
        QCOMPARE(reported, (QList<int>{53, 481}));
        QCOMPARE(clipboardImage().pixelColor(10, 10), QColor(Qt::green));
    }

    // The PNG beside the picture: made once, from the file's pixels exactly, offered in
    // the place Qt gives PNG; and the shown figure's pixels, not a second decoding of the
    // same unchanged file.
    void copyOffersThePngOnceAndSharesTheShownPixels() {
        QImage big = grainy({700, 500}, QImage::Format_RGB32);
        big.setPixelColor(0, 0, Qt::black);
        QVERIFY(big.save(cat + "/c.bmp", "BMP"));
        clickFile(2);
        press("SSCommand1");
        QVERIFY(reported.isEmpty());
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QVERIFY(data);
        QCOMPARE(data->formats(), (QStringList{"application/x-qt-image", "image/png"}));
        const QByteArray png = data->data("image/png");
        QCOMPARE(readPng(png), big.convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(data->data("image/png").constData(), png.constData()); // not encoded again
        QCOMPARE(data->data("application/x-qt-image").constData(), png.constData());
        QCOMPARE(clipboardImage(), big);
        const QImage shown = form->Picture1.picture().image();
        QCOMPARE(QGuiApplication::clipboard()->image().constBits(), shown.constBits());
    }

    // Every form a picture comes in, cut into several bands or not, on one thread or
    // two: the pixels come back exactly; a cancelled encoding gives nothing.
    void thePngHoldsThePixelsOfEveryForm() {
        const std::atomic<bool> going{false}, cancelled{true};
        const QList<QImage::Format> formats{
            QImage::Format_BGR888,   QImage::Format_RGB888,     QImage::Format_RGB32, QImage::Format_ARGB32,
            QImage::Format_Indexed8, QImage::Format_Grayscale8, QImage::Format_RGB16, QImage::Format_Mono};
        for (const QImage::Format format : formats) {
            for (const QSize size : {QSize(1, 1), QSize(3, 7), QSize(1203, 1900)}) {
                const QImage img = grainy(size, format);
                for (const int threads : {1, 2}) {
                    const QByteArray png = encodePng(img, going, threads);
                    QVERIFY2(readPng(png) == img.convertToFormat(QImage::Format_ARGB32),
                             qPrintable(QString("format %1, %2 x %3, %4 threads")
                                            .arg(int(format))
                                            .arg(size.width())
                                            .arg(size.height())
                                            .arg(threads)));
                }
            }
        }
        QVERIFY(encodePng(grainy({1203, 1900}, QImage::Format_BGR888), cancelled).isEmpty());
    }

    void copyBeforeAnyFileEmptiesTheClipboard() {
        QGuiApplication::clipboard()->setText("algo");
        press("SSCommand1");
        QVERIFY(reported.isEmpty());
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        QVERIFY(!data || (data->formats().isEmpty()));
    }

    void printLoadsPrintsAndShowsTheWindowOnce() {
        clickFile(0);
        press("SSCommand2");
        QVERIFY(pagePrinted());
        Form4& print = *registry::Form4;
        QVERIFY(print.isVisible());
        QCOMPARE(print.Picture1.picture().image().pixelColor(10, 10), QColor(Qt::red));
        // While it is open: no page, and it keeps its picture even after another file.
        clickFile(1);
        press("SSCommand2");
        QVERIFY(!pagePrinted());
        QCOMPARE(print.Picture1.picture().image().pixelColor(10, 10), QColor(Qt::red));
        // Closed, then pressed again: a new page with the picture shown now.
        print.window()->close();
        QVERIFY(!print.isLoaded());
        press("SSCommand2");
        QVERIFY(pagePrinted());
        QCOMPARE(print.Picture1.picture().image().pixelColor(10, 10), QColor(Qt::green));
    }

    void printBeforeAnyFileShowsAnEmptyBox() {
        press("SSCommand2");
        QVERIFY(pagePrinted());
        QVERIFY(registry::Form4->Picture1.picture().isNull());
        QVERIFY(registry::Form4->isVisible());
    }

    void helpTwiceLeavesOneWindow() {
        press("SSCommand3");
        QVERIFY(registry::Form3->isVisible());
        QWidget* first = registry::Form3->window();
        press("SSCommand3");
        QCOMPARE(registry::Form3->window(), first);
        QVERIFY(!registry::Form4->isLoaded() && !registry::Form2->isLoaded());
    }

    void exitDisablesTheMainWindowForGood() {
        clickFile(0);
        press("SSCommand4");
        QVERIFY(!form->enabled());
        QVERIFY(registry::Form2->isVisible());
        // Clicks and keys in the main window do nothing from now on.
        auto* list = static_cast<FileListWidget*>(form->controlWidget("File1"));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(1, 0)).center());
        QTest::keyClick(list, Qt::Key_Down);
        press("SSCommand3");
        QCOMPARE(form->Label1.caption(), cat + "/a.bmp");
        QVERIFY(!registry::Form3->isLoaded());
        // The company window's "Cerrar" ends the program, help window and all.
        QTest::mouseClick(registry::Form2->controlWidget("Command1"), Qt::LeftButton);
        QVERIFY(programEnded());
        QVERIFY(!form->isLoaded());
    }

    void aCompanyWindowThatCannotBeBuiltGivesTheMainWindowBack() {
        setPictureMemoryLimit(100 * 1024); // too little for the company picture
        press("SSCommand4");
        QCOMPARE(reported, QList<int>{7});
        QVERIFY(form->enabled());
        QVERIFY(!registry::Form2->isLoaded());
        setPictureMemoryLimit(0);
        press("SSCommand4"); // and the way out works once it can be built
        QVERIFY(registry::Form2->isVisible());
    }

    void enterPressesTheFocusedCerrarOfEitherWindow() {
        QWidget* cerrar = form->controlWidget("Command1");
        cerrar->setFocus();
        QTest::keyClick(cerrar, Qt::Key_Return);
        QVERIFY(programEnded());
        program.finish();
        program.start();
        form = &*registry::Form1;
        QVERIFY(raiseEvent([this] { form->show(); }));
        press("SSCommand4");
        QWidget* companyCerrar = registry::Form2->controlWidget("Command1");
        QCOMPARE(registry::Form2->window()->focusWidget(), companyCerrar); // the focus is on it
        QTest::keyClick(companyCerrar, Qt::Key_Enter);                     // the keypad's Enter too
        QVERIFY(programEnded());
    }

    void cerrarEndsEverythingAtOnce() {
        press("SSCommand3");
        press("SSCommand2");
        press("Command1");
        QVERIFY(programEnded());
        QVERIFY(!form->isLoaded());
        QVERIFY(!registry::Form3->isLoaded());
        QVERIFY(!registry::Form4->isLoaded());
    }
};

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
