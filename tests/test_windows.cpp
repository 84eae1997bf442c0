// The picture buttons, the print, help and company windows, their pictures, and
// PrintForm.
#include "app/globals.h"
#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/ui/widgets.h"
#include "platform/world/printing.h"
#include "windows/form2.h"
#include "windows/form3.h"
#include "windows/form4.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "support.h"

using namespace kv;

namespace {

quint32 le32(const QByteArray& b, int at) {
    return quint8(b[at]) | quint8(b[at + 1]) << 8 | quint8(b[at + 2]) << 16 |
           quint32(quint8(b[at + 3])) << 24;
}
quint16 le16(const QByteArray& b, int at) {
    return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8);
}

QByteArray resource(const char* path) {
    QFile f(QString::fromLatin1(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct IconImage {
    int width, height, bits;
    int transparent;
    bool transparentAreIndexZero;
    QList<QRgb> palette;
};

// Reads an icon file's directory and images as the file format lays them out.
QList<IconImage> readIcon(const QByteArray& f) {
    QList<IconImage> out;
    const int count = le16(f, 4);
    for (int i = 0; i < count; ++i) {
        const int entry = 6 + 16 * i;
        const int offset = int(le32(f, entry + 12));
        const int w = le32(f, offset + 4), h = int(le32(f, offset + 8)) / 2, bits = le16(f, offset + 14);
        IconImage img{w, h, bits, 0, true, {}};
        for (int c = 0; c < 16; ++c) {
            const int at = offset + 40 + 4 * c;
            img.palette << qRgb(quint8(f[at + 2]), quint8(f[at + 1]), quint8(f[at]));
        }
        const int xorStride = ((w * bits + 31) / 32) * 4, andStride = ((w + 31) / 32) * 4;
        const int xorAt = offset + 40 + 64, andAt = xorAt + xorStride * h;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (quint8(f[andAt + y * andStride + x / 8]) & (0x80 >> (x % 8))) {
                    ++img.transparent;
                    const int byte = quint8(f[xorAt + y * xorStride + x / 2]);
                    if ((x % 2 ? byte & 0x0F : byte >> 4) != 0)
                        img.transparentAreIndexZero = false;
                }
        out << img;
    }
    return out;
}

const QList<QRgb> kStandardPalette = {
    qRgb(0, 0, 0),          qRgb(0x80, 0, 0),    qRgb(0, 0x80, 0),    qRgb(0x80, 0x80, 0),
    qRgb(0, 0, 0x80),       qRgb(0x80, 0, 0x80), qRgb(0, 0x80, 0x80), qRgb(0x80, 0x80, 0x80),
    qRgb(0xC0, 0xC0, 0xC0), qRgb(0xFF, 0, 0),    qRgb(0, 0xFF, 0),    qRgb(0xFF, 0xFF, 0),
    qRgb(0, 0, 0xFF),       qRgb(0xFF, 0, 0xFF), qRgb(0, 0xFF, 0xFF), qRgb(0xFF, 0xFF, 0xFF)};

int colourCount(const QImage& img) {
    QSet<QRgb> seen;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            seen.insert(img.pixel(x, y));
    return int(seen.size());
}

int pdfPages(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray pdf = f.readAll();
    return pdf.startsWith("%PDF") ? int(pdf.count("/Type /Page\n") + pdf.count("/Type /Page ") +
                                        pdf.count("/Type /Page>") + pdf.count("/Type/Page\n"))
                                  : -1;
}

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT
    FreshProgram program;
    QList<int>& reported = program.reported;

    PictureButtonWidget* button(const char* name) {
        return static_cast<PictureButtonWidget*>(registry::Form1->controlWidget(name));
    }

private slots:
    void initTestCase() { QVERIFY(program.prepare()); }
    void init() {
        program.start();
        App().setPath(program.folder.path());
    }
    void cleanup() { program.finish(); }

    void theIconFilesAreAsDrawn() {
        const struct {
            const char* path;
            int bytes;
            QList<int> transparent; // per image, in file order
        } icons[] = {{":/buttons/copy.ico", 766, {0}},  {":/buttons/print.ico", 1078, {467, 106}},
                     {":/buttons/help.ico", 766, {60}}, {":/buttons/exit.ico", 766, {84}},
                     {":/form1/icon.ico", 766, {40}},   {":/form1/mouse.ico", 1078, {-1, -1}}};
        for (const auto& icon : icons) {
            const QByteArray f = resource(icon.path);
            QCOMPARE(f.size(), icon.bytes);
            const QList<IconImage> images = readIcon(f);
            QCOMPARE(images.size(), icon.transparent.size());
            for (int i = 0; i < images.size(); ++i) {
                QCOMPARE(images[i].width, i == 0 ? 32 : 16);
                QCOMPARE(images[i].bits, 4);
                QCOMPARE(images[i].palette, kStandardPalette);
                QVERIFY2(images[i].transparentAreIndexZero, icon.path);
                if (icon.transparent[i] >= 0)
                    QCOMPARE(images[i].transparent, icon.transparent[i]);
            }
        }
        // The application icon's image is the 744 bytes after the directory.
        QCOMPARE(le32(resource(":/form1/icon.ico"), 6 + 8), 744u);
    }

    void theWindowPicturesAreAsDrawn() {
        const QByteArray help = resource(":/form3/help.bmp");
        QCOMPARE(help.size(), 207534);
        QCOMPARE(le16(help, 28), quint16(24));
        const QImage helpImg = QImage::fromData(help);
        QCOMPARE(helpImg.size(), QSize(259, 266));
        QCOMPARE(colourCount(helpImg), 13);
        QCOMPARE(helpImg.pixelColor(258, 0), QColor(Qt::white));
        const QByteArray company = resource(":/form2/company.bmp");
        QCOMPARE(company.size(), 566110);
        const QImage companyImg = QImage::fromData(company);
        QCOMPARE(companyImg.size(), QSize(545, 346));
        QCOMPARE(colourCount(companyImg), 5);
        // The drawn "Cerrar" button: its right and bottom edge lines lie just outside
        // the real button (216..280, 320..336).
        QCOMPARE(companyImg.pixelColor(281, 330), QColor(Qt::black));
        QCOMPARE(companyImg.pixelColor(250, 337), QColor(Qt::black));
        QCOMPARE(companyImg.pixelColor(217, 321), QColor(Qt::white));
        for (int y = 342; y < 346; ++y) // the rows below the client area are white
            QCOMPARE(companyImg.pixelColor(100, y), QColor(Qt::white));
    }

    void thePictureButtons() {
        registry::Form1->show();
        const struct {
            const char* name;
            QSize extent;
            QColor fore;
            const char* tip;
        } buttons[] = {{"SSCommand1", {873, 873}, QColor(0, 0, 0), "Copia"},
                       {"SSCommand2", {873, 873}, QColor(0, 0, 0), "Imprimir"},
                       {"SSCommand3", {1085, 873}, QColor(0x80, 0x80, 0xFF), "Ayuda"},
                       {"SSCommand4", {1085, 873}, QColor(0x80, 0x80, 0xFF), "Salir"}};
        for (const auto& b : buttons) {
            PictureButtonWidget* w = button(b.name);
            QCOMPARE(w->extent(), b.extent);
            QVERIFY(w->text().isEmpty());
            QCOMPARE(w->toolTip(), QString::fromLatin1(b.tip));
            QCOMPARE(w->accessibleName(), QString::fromLatin1(b.tip));
            QCOMPARE(w->picture().size(), QSize(32, 32)); // the large image, never the 16 x 16
            if (QByteArray(b.name) != "SSCommand1" && QByteArray(b.name) != "SSCommand2")
                QCOMPARE(w->foreColor(), b.fore);
        }
        QCOMPARE(button("SSCommand2")->picture().images().size(), 2);
    }

    void transparentIconPixelsShowTheFace() {
        registry::Form1->show();
        PictureButtonWidget* help = button("SSCommand3"); // 41 x 33, the icon centred at 4, 0
        const QImage shot = help->grab().toImage();
        const QImage icon = help->picture().image().convertToFormat(QImage::Format_ARGB32);
        const QPoint at((help->width() - 32) / 2, (help->height() - 32) / 2);
        // The inner line along the icon's left is see-through: the face shows there.
        QCOMPARE(qAlpha(icon.pixel(1, 10)), 0);
        QCOMPARE(shot.pixelColor(at + QPoint(1, 10)), help->palette().color(QPalette::Button));
        // An opaque pixel of the icon shows its own colour (a blue letter).
        QCOMPARE(shot.pixelColor(at + QPoint(4, 3)), QColor(icon.pixel(4, 3)));
    }

    void buttonsClickByMouseSpaceAndEnterButNotWhenDisabled() {
        Form1& f = *registry::Form1;
        int clicks = 0;
        f.SSCommand1.onClick([&] { ++clicks; });
        f.show();
        QTest::mouseClick(button("SSCommand1"), Qt::LeftButton);
        QCOMPARE(clicks, 1);
        button("SSCommand1")->setFocus();
        QTest::keyClick(button("SSCommand1"), Qt::Key_Space);
        QCOMPARE(clicks, 2);
        QTest::keyClick(button("SSCommand1"), Qt::Key_Return);
        QCOMPARE(clicks, 3);
        f.setEnabled(false);
        QTest::mouseClick(button("SSCommand1"), Qt::LeftButton);
        QTest::keyClick(button("SSCommand1"), Qt::Key_Return);
        QCOMPARE(clicks, 3);
        QVERIFY(button("SSCommand1")->isEnabled() == false); // disabled through its window only
        QVERIFY(button("SSCommand1")->testAttribute(Qt::WA_ForceDisabled) == false);
    }

    void aPressedButtonSinksAndShowsItsFocus() {
        registry::Form1->show();
        PictureButtonWidget* b = button("SSCommand2");
        const QImage up = b->grab().toImage();
        b->setDown(true);
        const QImage down = b->grab().toImage();
        b->setDown(false);
        QVERIFY(up != down);
        QCOMPARE(up.pixelColor(0, 0),
                 QApplication::palette().color(QPalette::Light)); // raised: light top-left
        QVERIFY(down.pixelColor(0, 0) != up.pixelColor(0, 0));
    }

    void theHelpWindow() {
        Form3& help = *registry::Form3;
        QVERIFY(!help.isLoaded());
        help.show();
        QCOMPARE(help.caption(), QStringLiteral("Ayuda"));
        const auto g = help.clientGeometry();
        QCOMPARE(QSize(g.width, g.height), QSize(4050, 4155));
        const QImage shot = help.window()->grab().toImage();
        const QImage picture(":/form3/help.bmp");
        QCOMPARE(shot.pixel(0, 0), picture.pixel(0, 0));
        QCOMPARE(shot.pixel(258, 265), picture.pixel(258, 265));
        QCOMPARE(shot.pixel(30, 30), picture.pixel(30, 30));
        // An 11-pixel strip of button face to the right and below.
        QCOMPARE(shot.pixelColor(259 + 5, 100), help.window()->palette().color(QPalette::Window));
        QCOMPARE(shot.pixelColor(100, 266 + 5), help.window()->palette().color(QPalette::Window));
        QVERIFY(!help.window()->windowIcon().isNull());
        QWidget* first = help.window();
        help.show(); // a second time: still the one window
        QCOMPARE(help.window(), first);
        const auto tops = QApplication::topLevelWidgets();
        QCOMPARE(std::count_if(tops.begin(), tops.end(),
                               [](QWidget* w) { return w->isVisible() && w->windowTitle() == "Ayuda"; }),
                 1);
    }

    void theCompanyWindowLeavesThroughCerrar() {
        Form2& company = *registry::Form2;
        company.show();
        QCOMPARE(company.caption(), QStringLiteral("Tramonte"));
        const auto g = company.clientGeometry();
        QCOMPARE(QSize(g.width, g.height), QSize(8175, 5130));
        QCOMPARE(company.controlWidget("Command1")->geometry(), QRect(216, 320, 65, 17));
        const QImage shot = company.window()->grab().toImage();
        const QImage picture(":/form2/company.bmp");
        QCOMPARE(shot.pixel(0, 0), picture.pixel(0, 0));
        QCOMPARE(shot.pixel(281, 330), picture.pixel(281, 330)); // the drawn button's edge shows
        QCOMPARE(shot.pixel(544, 341), picture.pixel(544, 341));
        QTest::mouseClick(company.controlWidget("Command1"), Qt::LeftButton);
        QVERIFY(programEnded());
        QVERIFY(!company.isLoaded());
    }

    void closingTheCompanyWindowAlsoLeaves() {
        registry::Form1->show();
        registry::Form2->show();
        registry::Form2->window()->close();
        QVERIFY(programEnded());
        QVERIFY(!registry::Form1->isLoaded());
    }

    void loadingThePrintWindowTakesThePictureAndPrintsOnePage() {
        const QString pdf = program.folder.filePath("page.pdf");
        setPrintToFile(pdf);
        // A picture full of fine detail, which a lossy encoding would blur.
        QImage img(300, 300, QImage::Format_RGB32);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixel(x, y, qRgb((x * 37 + y * 11) & 0xFF, (x ^ y) & 0xFF, (x * y) & 0xFF));
        Picture shown = Picture::fromImage(img);
        shown.setFileName(program.folder.filePath("detalle.bmp"));
        registry::Form1->Picture1.setPicture(shown);
        Form4& print = *registry::Form4;
        QVERIFY(raiseEvent([&] { print.load(); }));
        QVERIFY(print.isLoaded());
        QVERIFY(!print.isVisible()); // printed while still invisible
        QCOMPARE(print.Picture1.picture().image(), img);
        // A screen reader hears it as the figure it shows.
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(print.controlWidget("Picture1"));
        QCOMPARE(box->role(), QAccessible::Graphic);
        QCOMPARE(box->text(QAccessible::Name), QStringLiteral("detalle.bmp"));
        QCOMPARE(box->text(QAccessible::Description), shown.fileName());
        QCOMPARE(pdfPages(pdf), 1);
        // The page carries the window's rendering losslessly: no JPEG anywhere in it.
        QFile page(pdf);
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QByteArray bytes = page.readAll();
        QVERIFY(bytes.contains("/Subtype /Image"));
        QVERIFY(!bytes.contains("DCTDecode"));
        QCOMPARE(print.caption(), QStringLiteral("Print"));
        const auto g = print.clientGeometry();
        QCOMPARE(QSize(g.width, g.height), QSize(3060, 3195));
        QCOMPARE(print.controlWidget("Picture1")->geometry(), QRect(8, 8, 185, 193));
        QCOMPARE(print.window()->palette().color(QPalette::Window),
                 QApplication::palette().color(QPalette::Base));
        // Loaded again while loaded: nothing is printed.
        QFile::remove(pdf);
        QVERIFY(raiseEvent([&] { print.load(); }));
        QVERIFY(!QFile::exists(pdf));
    }

    void printingBeforeAnyFileGivesAnEmptyBox() {
        const QString pdf = program.folder.filePath("empty.pdf");
        setPrintToFile(pdf);
        QVERIFY(raiseEvent([] { registry::Form4->load(); }));
        QVERIFY(registry::Form4->Picture1.picture().isNull());
        QCOMPARE(pdfPages(pdf), 1);
    }

    void printsOnePageThroughTheDefaultQueue() {
        // The test command's private print server keeps every job's document.
        const QString spool = qEnvironmentVariable("KV_TEST_SPOOL");
        if (spool.isEmpty() || qEnvironmentVariableIsSet("KV_NO_PRINTER"))
            QSKIP("no private print server");
        const QStringList before = QDir(spool).entryList({"d*"}, QDir::Files);
        QImage img(50, 40, QImage::Format_RGB32);
        img.fill(Qt::red);
        registry::Form1->Picture1.setPicture(Picture::fromImage(img));
        QVERIFY(raiseEvent([] { registry::Form4->load(); }));
        QStringList added;
        QTRY_VERIFY_WITH_TIMEOUT(
            (added = QDir(spool).entryList({"d*"}, QDir::Files), added.size() == before.size() + 1), 10000);
        for (const QString& name : before)
            added.removeAll(name);
        QTRY_COMPARE_WITH_TIMEOUT(pdfPages(spool + "/" + added.value(0)), 1, 10000);
    }

    void noPrinterGivesThePrinterErrorAndNoWindow() {
        // Runs in a process of its own whose CUPS_SERVER leads nowhere (the print
        // system's client keeps the first server it reached).
        if (!qEnvironmentVariableIsSet("KV_NO_PRINTER"))
            QSKIP("runs as test_windows_no_printer");
        const bool ok = raiseEvent([] {
            registry::Form4->load();
            registry::Form4->show();
        });
        QVERIFY(!ok);
        QCOMPARE(reported, QList<int>{482});
        QVERIFY(!registry::Form4->isLoaded()); // unloaded again, never shown
    }
};

QTEST_MAIN(WindowsTest)
#include "test_windows.moc"
