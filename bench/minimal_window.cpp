// The floor of start-up: a Qt Widgets program that maps one empty window. With
// "--label" the window holds one line of text, so the font system starts too.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle("minimal");
    w.resize(406, 397);
    if (argc > 1 && QByteArray(argv[1]) == "--label")
        new QLabel("Kelvaria 500", &w);
    w.show();
    return QApplication::exec();
}
