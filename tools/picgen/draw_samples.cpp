// The sample figure library that ships beside the program: three categories of
// equipment, connection and diagram figures, in 24-bit and 8-bit palette bitmaps.
#include "pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace picgen {

namespace {

QImage canvas(int w, int h, const QColor& top, const QColor& bottom) {
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(img.rect(), g);
    return img;
}

QImage flat(int w, int h, const QColor& ground) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(ground);
    return img;
}

void caption(QPainter& p, const QRect& r, const QString& text, const QColor& c, int px = 12) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(px);
    f.setBold(true);
    p.setFont(f);
    p.setPen(c);
    p.drawText(r, Qt::AlignCenter, text);
}

QImage monitor() {
    QImage img = canvas(150, 130, QColor(235, 240, 255), QColor(170, 185, 220));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 70), 2));
    p.setBrush(QColor(210, 210, 200));
    p.drawRoundedRect(20, 12, 110, 84, 6, 6);
    QLinearGradient glass(30, 20, 120, 86);
    glass.setColorAt(0, QColor(40, 90, 160));
    glass.setColorAt(1, QColor(10, 30, 70));
    p.setBrush(glass);
    p.drawRect(30, 20, 90, 66);
    p.setPen(QPen(QColor(120, 255, 140), 1));
    for (int i = 0; i < 5; ++i)
        p.drawLine(36, 28 + i * 10, 36 + 20 + (i * 37) % 60, 28 + i * 10);
    p.setPen(QPen(QColor(60, 60, 70), 2));
    p.setBrush(QColor(190, 190, 180));
    p.drawRect(65, 96, 20, 12);
    p.drawRoundedRect(40, 108, 70, 10, 3, 3);
    return img;
}

QImage keyboard() {
    QImage img = flat(160, 90, QColor(0, 128, 128));
    QPainter p(&img);
    p.setPen(Qt::black);
    p.setBrush(QColor(192, 192, 192));
    p.drawRect(8, 20, 143, 56);
    const QColor keyFace(255, 255, 255);
    for (int row = 0; row < 4; ++row)
        for (int k = 0; k < 12 - (row == 3 ? 8 : 0); ++k) {
            const int x = 13 + k * 11 + row * 3;
            p.setBrush(keyFace);
            p.drawRect(x, 25 + row * 12, 8, 8);
        }
    p.setBrush(keyFace);
    p.drawRect(60, 61, 50, 8); // the space bar
    p.setBrush(QColor(255, 255, 0));
    p.drawRect(130, 25, 15, 8);
    p.setPen(QColor(255, 255, 255));
    p.drawText(QRect(0, 2, 160, 16), Qt::AlignCenter, QStringLiteral("TECLADO"));
    return img;
}

QImage printer() {
    QImage img = canvas(140, 120, QColor(250, 245, 230), QColor(220, 205, 170));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(50, 50, 50), 2));
    p.setBrush(Qt::white);
    p.drawRect(40, 10, 60, 40); // the sheet going in
    p.setBrush(QColor(200, 200, 205));
    p.drawRoundedRect(15, 45, 110, 45, 5, 5);
    p.setBrush(QColor(90, 90, 100));
    p.drawRect(30, 60, 80, 6);
    p.setBrush(Qt::white);
    p.drawRect(35, 80, 70, 30); // the printed sheet
    p.setPen(QPen(QColor(30, 80, 200), 2));
    for (int i = 0; i < 3; ++i)
        p.drawLine(42, 88 + i * 7, 95 - i * 12, 88 + i * 7);
    p.setBrush(QColor(40, 200, 60));
    p.setPen(Qt::NoPen);
    p.drawEllipse(108, 50, 8, 8);
    return img;
}

QImage console() {
    // Larger than the picture box: only its top-left part shows there.
    QImage img = canvas(320, 260, QColor(60, 60, 70), QColor(20, 20, 25));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    caption(p, QRect(0, 4, 320, 18), QStringLiteral("CONSOLA DE MEZCLA"), QColor(255, 200, 60), 13);
    for (int ch = 0; ch < 12; ++ch) {
        const int x = 14 + ch * 25;
        p.setPen(Qt::NoPen);
        for (int k = 0; k < 3; ++k) {
            p.setBrush(QColor::fromHsv((ch * 30 + k * 40) % 360, 160, 230));
            p.drawEllipse(QPoint(x + 8, 40 + k * 26), 8, 8);
        }
        p.setBrush(QColor(10, 10, 10));
        p.drawRect(x + 6, 120, 4, 110);
        p.setBrush(QColor(220, 220, 225));
        p.drawRect(x, 130 + (ch * 37) % 80, 16, 10);
    }
    return img;
}

QImage cable() {
    QImage img = flat(120, 120, QColor(255, 255, 255));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    QPainterPath path(QPointF(10, 100));
    path.cubicTo(40, 0, 80, 120, 110, 20);
    p.setPen(QPen(QColor(0, 0, 0), 6));
    p.drawPath(path);
    p.setPen(QPen(QColor(255, 0, 0), 2));
    p.drawPath(path);
    p.setPen(Qt::black);
    p.setBrush(QColor(128, 128, 128));
    p.drawRect(2, 96, 14, 18);
    p.drawRect(104, 8, 14, 18);
    return img;
}

QImage network() {
    QImage img = canvas(170, 150, QColor(255, 255, 255), QColor(210, 230, 210));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPoint nodes[] = {{85, 30}, {30, 80}, {140, 80}, {55, 125}, {115, 125}};
    p.setPen(QPen(QColor(30, 110, 40), 2));
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            if ((a + b) % 2 == 1 || a == 0)
                p.drawLine(nodes[a], nodes[b]);
    for (const QPoint& n : nodes) {
        p.setBrush(QColor(250, 250, 240));
        p.setPen(QPen(QColor(30, 60, 30), 2));
        p.drawRect(n.x() - 14, n.y() - 10, 28, 20);
        p.fillRect(n.x() - 10, n.y() - 6, 20, 10, QColor(40, 90, 160));
    }
    return img;
}

QImage blocks() {
    QImage img = canvas(180, 140, QColor(255, 255, 250), QColor(240, 240, 225));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const struct {
        QRect r;
        const char* text;
        QColor c;
    } boxes[] = {{QRect(10, 15, 60, 30), "Entrada", QColor(255, 220, 150)},
                 {QRect(110, 15, 60, 30), "Filtro", QColor(180, 220, 255)},
                 {QRect(60, 90, 60, 30), "Salida", QColor(190, 240, 190)}};
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.drawLine(70, 30, 110, 30);
    p.drawLine(140, 45, 90, 90);
    for (const auto& b : boxes) {
        p.setPen(QPen(QColor(40, 40, 40), 2));
        p.setBrush(b.c);
        p.drawRoundedRect(b.r, 5, 5);
        caption(p, b.r, QString::fromUtf8(b.text), QColor(30, 30, 30), 11);
    }
    return img;
}

QImage signal() {
    QImage img = flat(180, 100, QColor(0, 0, 0));
    QPainter p(&img);
    p.setPen(QColor(0, 96, 0));
    for (int x = 0; x < 180; x += 20)
        p.drawLine(x, 0, x, 99);
    for (int y = 0; y < 100; y += 20)
        p.drawLine(0, y, 179, y);
    p.setPen(QColor(0, 255, 0));
    QPoint last(0, 50);
    for (int x = 1; x < 180; ++x) {
        const QPoint next(x, 50 - static_cast<int>(35 * std::sin(x / 9.0) * std::exp(-x / 150.0)));
        p.drawLine(last, next);
        last = next;
    }
    return img;
}

} // namespace

std::vector<SampleFigure> sampleFigures() {
    return {
        {"Equipos/monitor.bmp", monitor(), false},   {"Equipos/teclado.bmp", keyboard(), true},
        {"Equipos/IMPRESORA.BMP", printer(), false}, {"Equipos/consola.bmp", console(), false},
        {"Conexiones/cable.bmp", cable(), true},     {"Conexiones/Red.Bmp", network(), false},
        {"Diagramas/bloques.bmp", blocks(), false},  {"Diagramas/senal.bmp", signal(), true},
    };
}

} // namespace picgen
