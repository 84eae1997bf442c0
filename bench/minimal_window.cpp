// The floor of start-up: a Qt Widgets program that maps one empty window.
//   --label     the window holds one line of text, so the font system starts too
//   --painted   the window paints itself in the benchmark figure's colour, so the timing
//               tool can tell when its first painting is on screen
// The two may be given together.
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QWidget>

namespace {

class Window : public QWidget {
public:
    bool painted = false;

protected:
    void paintEvent(QPaintEvent*) override {
        if (painted)
            QPainter(this).fillRect(rect(), QColor(0xc8, 0x3c, 0x14));
    }
};

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
    }
    w.show();
    return QApplication::exec();
}
