// The floor of start-up: a Qt Widgets program that maps one empty window.
//   --label     the window holds one line of text, so the font system starts too
//   --painted   the window paints itself in the benchmark figure's colour, so the timing
//               tool can tell when its first painting is on screen
//   --controls  the window holds the Qt widgets the main window must have, of the same
//               kinds, sizes and places, in the same style and font: a drop-down list,
//               two list views with a few rows, five buttons (four with icons), six
//               lines of text, four pictures, and a picture box painted in the figure's
//               colour. No file is read, no list follows a folder, nothing is the
//               program's own: Qt's cost for those widgets, and only that.
// They may be given together.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QStringListModel>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>
#include <tuple>

namespace {

const QColor kFigure(0xc8, 0x3c, 0x14);

class Window : public QWidget {
public:
    bool painted = false;

protected:
    void paintEvent(QPaintEvent*) override {
        if (painted)
            QPainter(this).fillRect(rect(), kFigure);
    }
};

class PictureBox : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kFigure); }
};

QPixmap filled(int width, int height, QColor colour) {
    QPixmap pixmap(width, height);
    pixmap.fill(colour);
    return pixmap;
}

// The main window's controls, at their places in pixels.
void addControls(QApplication& app, QWidget& w) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    app.setPalette(app.style()->standardPalette());
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    app.setFont(font);
    const QIcon icon(filled(32, 32, Qt::darkCyan));
    for (const int left : {184, 240, 288, 344}) {
        auto* button = new QPushButton(icon, QString(), &w);
        button->setIconSize(QSize(32, 32));
        button->setGeometry(left, 352, 41, 33);
    }
    (new QPushButton(QStringLiteral("Cerrar"), &w))->setGeometry(40, 368, 73, 17);
    auto* drives = new QComboBox(&w);
    drives->addItems({QStringLiteral("/"), QStringLiteral("/home"), QStringLiteral("/media/usb")});
    drives->setGeometry(40, 96, 121, 21);
    const QStringList folders{QStringLiteral("/"),         QStringLiteral("home"),
                              QStringLiteral("kelvaria"),  QStringLiteral("Conexiones"),
                              QStringLiteral("Diagramas"), QStringLiteral("Equipos")};
    const QStringList files{QStringLiteral("figura.bmp"), QStringLiteral("monitor.bmp"),
                            QStringLiteral("teclado.bmp")};
    for (const auto& [rows, top, height] : {std::tuple{folders, 152, 96}, std::tuple{files, 288, 71}}) {
        auto* list = new QListView(&w);
        list->setModel(new QStringListModel(rows, list));
        list->setCurrentIndex(list->model()->index(0, 0));
        list->setGeometry(40, top, 129, height);
    }
    (new PictureBox(&w))->setGeometry(184, 96, 193, 193);
    for (const auto& [text, left, top, width] :
         {std::tuple{"Seleccione categoría con doble click", 40, 120, 129},
          std::tuple{"Copia         Imprimir     Ayuda      ", 184, 328, 201},
          std::tuple{"Haga click una vez sobre el nomber de la figura", 40, 256, 145},
          std::tuple{"2.-Gráfico", 184, 72, 193}, std::tuple{"1.-Ubicación", 40, 72, 129},
          std::tuple{"", 184, 296, 185}}) {
        auto* label = new QLabel(QString::fromUtf8(text), &w);
        label->setWordWrap(true);
        label->setGeometry(left, top, width, 24);
    }
    for (const auto& [left, top, width, height] : {std::tuple{192, 0, 169, 68}, std::tuple{0, 128, 32, 32},
                                                   std::tuple{40, 8, 86, 60}, std::tuple{0, 248, 32, 32}}) {
        auto* picture = new QLabel(&w);
        picture->setPixmap(filled(width, height, Qt::lightGray));
        picture->setGeometry(left, top, width, height);
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Window w;
    w.setWindowTitle("minimal");
    w.resize(406, 397);
    for (int i = 1; i < argc; ++i) {
        const QByteArray option(argv[i]);
        if (option == "--label")
            (new QLabel("Kelvaria 500", &w))->move(8, 360);
        else if (option == "--painted")
            w.painted = true;
        else if (option == "--controls")
            addControls(app, w);
    }
    w.show();
    return QApplication::exec();
}
