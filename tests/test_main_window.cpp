// The main window as built from its design: geometry, texts, colours, borders,
// pictures, stacking and keyboard order.
#include "app/registry.h"
#include "main_window/form1.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/ole_color.h"
#include "platform/ui/widgets.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QPushButton>
#include <QtTest>

using namespace kv;

namespace {

struct Expected {
    const char* name;
    int left, top, width, height; // twips
};

// The design's control table, in design order.
const Expected kControls[] = {
    {"SSCommand4", 5160, 5280, 615, 495}, {"SSCommand3", 4320, 5280, 615, 495},
    {"SSCommand2", 3600, 5280, 495, 495}, {"SSCommand1", 2760, 5280, 495, 495},
    {"File1", 600, 4320, 1935, 1065},     {"Command1", 600, 5520, 1095, 255},
    {"Drive1", 600, 1440, 1815, 315},     {"Dir1", 600, 2280, 1935, 1440},
    {"Picture1", 2760, 1440, 2895, 2895}, {"Image4", 2880, 0, 2535, 1020},
    {"Image3", 0, 1920, 480, 480},        {"Label6", 600, 1800, 1935, 495},
    {"Label5", 2760, 4920, 3015, 375},    {"Label4", 600, 3840, 2175, 435},
    {"Label3", 2760, 1080, 2895, 255},    {"Label2", 600, 1080, 1935, 255},
    {"Image2", 600, 120, 1290, 900},      {"Image1", 0, 3720, 480, 480},
    {"Label1", 2760, 4440, 2775, 255},
};

QRect twipsRect(const Expected& e) {
    return QRect(e.left / 15, e.top / 15, e.width / 15, e.height / 15);
}

// The colour a widget paints at a point (in the window's coordinates).
QColor colorAt(QWidget* window, QPoint at) {
    return window->grab().toImage().pixelColor(at);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    Form1* form = nullptr;
    QWidget* w(const char* name) { return form->controlWidget(name); }

private slots:
    void initTestCase() { installLook(*qApp); }
    void init() {
        registry::clear();
        form = &*registry::Form1;
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form->window()));
    }
    void cleanup() {
        registry::clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void windowSettings() {
        QCOMPARE(form->caption(), QStringLiteral("Kelvaria 500"));
        const auto g = form->clientGeometry();
        QCOMPARE(g.left, 1140);
        QCOMPARE(g.top, 795);
        QCOMPARE(g.width, 6090);
        QCOMPARE(g.height, 5955);
        QVERIFY(form->enabled());
        // The title-bar icon is the application icon's 32 x 32 image.
        const QImage icon = form->window()->windowIcon().pixmap(32, 32).toImage();
        QCOMPARE(icon.size(), QSize(32, 32));
        QImage fromFile(":/form1/icon.ico");
        QCOMPARE(icon.convertToFormat(QImage::Format_ARGB32),
                 fromFile.convertToFormat(QImage::Format_ARGB32));
    }

    void everyControlInDesignOrderAtItsPlace() {
        const auto& design = form->design();
        QCOMPARE(design.controls.size(), std::size(kControls));
        for (size_t i = 0; i < std::size(kControls); ++i) {
            QCOMPARE(design.controls[i].name, kControls[i].name);
            QWidget* c = w(kControls[i].name);
            QVERIFY2(c, kControls[i].name);
            QCOMPARE(c->geometry(), twipsRect(kControls[i]));
            QVERIFY(c->isVisible());
        }
    }

    void textsExactlyAsDrawn() {
        QCOMPARE(form->Label6.caption(), QStringLiteral("Seleccione categoría con doble click"));
        QCOMPARE(form->Label4.caption(), QStringLiteral("Haga click una vez sobre el nomber de la figura"));
        QCOMPARE(form->Label3.caption(), QStringLiteral("2.-Gráfico"));
        QCOMPARE(form->Label2.caption(), QStringLiteral("1.-Ubicación"));
        QCOMPARE(form->Label5.caption(), QStringLiteral("Copia         Imprimir     Ayuda      "));
        QCOMPARE(form->Label5.caption().size(), 38);
        QCOMPARE(qobject_cast<QPushButton*>(w("Command1"))->text(), QStringLiteral("Cerrar"));
        // Before any file is chosen: no path and an empty picture box.
        QVERIFY(form->Label1.caption().isEmpty());
        QVERIFY(form->Picture1.picture().isNull());
        for (const char* b : {"SSCommand1", "SSCommand2", "SSCommand3", "SSCommand4"})
            QVERIFY(qobject_cast<QAbstractButton*>(w(b))->text().isEmpty());
    }

    void everyTextFitsItsLabel() {
        for (const char* name : {"Label6", "Label5", "Label4", "Label3", "Label2"}) {
            auto* label = static_cast<LabelWidget*>(w(name));
            const int edge = label->hasBorder() ? 2 : 0;
            const QRect room = label->rect().adjusted(edge, edge, -edge, -edge);
            const QRect need =
                QFontMetrics(label->font())
                    .boundingRect(room, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, label->caption());
            QVERIFY2(room.contains(need), name);
        }
        // The two hints take two lines each.
        const QFontMetrics fm(w("Label6")->font());
        for (const char* name : {"Label6", "Label4"}) {
            auto* label = static_cast<LabelWidget*>(w(name));
            const QRect need = fm.boundingRect(label->rect(), Qt::TextWordWrap, label->caption());
            QVERIFY2(need.height() >= 2 * fm.height() - 1 && need.height() < 3 * fm.height(),
                     qPrintable(QString("%1: %2 of %3").arg(name).arg(need.height()).arg(fm.height())));
        }
    }

    void theLabelRowNamesTheFirstThreeButtons() {
        // Each word starts over its button, and nothing stands over the fourth.
        const QFontMetrics fm(w("Label5")->font());
        const QString row = form->Label5.caption();
        const int labelLeft = w("Label5")->x();
        const struct {
            const char* word;
            const char* button;
        } pairs[] = {{"Copia", "SSCommand1"}, {"Imprimir", "SSCommand2"}, {"Ayuda", "SSCommand3"}};
        for (const auto& p : pairs) {
            const int at = row.indexOf(QLatin1String(p.word));
            const int x = labelLeft + fm.horizontalAdvance(row.left(at));
            const QRect button = w(p.button)->geometry();
            QVERIFY2(x >= button.left() - 4 && x <= button.right(), p.word);
        }
        const int end = labelLeft + fm.horizontalAdvance(row.trimmed());
        QVERIFY(end < w("SSCommand4")->x());
    }

    void coloursAndBorders() {
        const QColor lightBlue(0x80, 0x80, 0xFF);
        for (const char* name : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6"})
            QCOMPARE(w(name)->palette().color(QPalette::WindowText), lightBlue);
        QCOMPARE(w("Label4")->palette().color(QPalette::Window), QColor(0xC0, 0xC0, 0xC0));
        QCOMPARE(w("Label6")->palette().color(QPalette::Window), toQColor(color::ButtonFace));
        QCOMPARE(form->window()->palette().color(QPalette::Window), toQColor(color::ButtonFace));
        QVERIFY(static_cast<LabelWidget*>(w("Label2"))->hasBorder());
        QVERIFY(static_cast<LabelWidget*>(w("Label3"))->hasBorder());
        QVERIFY(!static_cast<LabelWidget*>(w("Label4"))->hasBorder());
        QVERIFY(static_cast<ImageWidget*>(w("Image4"))->hasBorder());
        QVERIFY(!static_cast<ImageWidget*>(w("Image2"))->hasBorder());
        // The silver background of the file hint is really painted.
        QCOMPARE(colorAt(form->window(), w("Label4")->geometry().bottomLeft() + QPoint(1, -1)),
                 QColor(0xC0, 0xC0, 0xC0));
    }

    void picturesAtTheirNaturalSize() {
        QCOMPARE(static_cast<ImageWidget*>(w("Image4"))->picture().size(), QSize(165, 64));
        QCOMPARE(w("Image4")->size(), QSize(169, 68)); // picture plus a two-pixel edge all round
        QCOMPARE(static_cast<ImageWidget*>(w("Image2"))->picture().size(), QSize(86, 60));
        for (const char* mouse : {"Image1", "Image3"}) {
            const Picture p = static_cast<ImageWidget*>(w(mouse))->picture();
            QCOMPARE(p.size(), QSize(32, 32)); // the large image of the two
            QCOMPARE(p.images().size(), 2);
            QCOMPARE(w(mouse)->x(), 0); // both touch the window's left edge
        }
        // The banner's top-left pixel lies just inside its edge, unscaled.
        const QImage banner(":/form1/banner.bmp");
        const QPoint at = w("Image4")->pos() + QPoint(2, 2);
        QCOMPARE(colorAt(form->window(), at), banner.pixelColor(0, 0));
        QCOMPARE(colorAt(form->window(), at + QPoint(164, 63)), banner.pixelColor(164, 63));
    }

    void windowedControlsLieAboveTheLabelsTheyOverlap() {
        // The folder list covers the hint's bottom line, the buttons the label row's.
        QCOMPARE(form->window()->childAt(w("Dir1")->pos() + QPoint(20, 0)),
                 w("Dir1")->childAt(QPoint(20, 0)) ? w("Dir1")->childAt(QPoint(20, 0)) : w("Dir1"));
        QCOMPARE(form->window()->childAt(w("SSCommand1")->pos() + QPoint(5, 0)), w("SSCommand1"));
    }

    void firstFocusAndTabOrder() {
        QApplication::setActiveWindow(form->window());
        QVERIFY(QTest::qWaitForWindowActive(form->window()));
        QCOMPARE(QApplication::focusWidget(), w("Picture1"));
        const char* order[] = {"Dir1",       "Drive1",     "Command1",   "File1",   "SSCommand1",
                               "SSCommand2", "SSCommand3", "SSCommand4", "Picture1"};
        for (const char* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), w("SSCommand4"));
    }

    void resizingMovesNothing() {
        form->window()->resize(200, 150);
        QCoreApplication::processEvents();
        for (const Expected& e : kControls)
            QCOMPARE(w(e.name)->geometry(), twipsRect(e));
        form->window()->resize(800, 700);
        QCoreApplication::processEvents();
        for (const Expected& e : kControls)
            QCOMPARE(w(e.name)->geometry(), twipsRect(e));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
