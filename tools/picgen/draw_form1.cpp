// The main window's own pictures: the application icon, the title banner, the maker's
// emblem and the mouse picture.
#include "pictures.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <stdexcept>

namespace picgen {

namespace {
const QColor kLightBlue(0x80, 0x80, 0xFF);
const QColor kSilver(0xC0, 0xC0, 0xC0);
} // namespace

Canvas applicationIcon() {
    Canvas c(32, 32, White);
    // Instrument box at the top left: black outline, a white dial, black knobs and a
    // cyan light at its left end.
    c.rect(2, 2, 13, 9, LightGrey);
    c.frame(2, 2, 13, 9, Black);
    c.rect(7, 4, 5, 4, White);
    c.frame(7, 4, 5, 4, Black);
    c.line(8, 6, 10, 5, Red); // the dial's needle
    c.set(4, 5, Cyan);
    c.set(4, 6, Cyan);
    c.set(13, 4, Black);
    c.set(13, 7, Black);
    c.set(5, 8, Black);
    c.set(9, 9, Black);
    // Blue and red leads down the left edge and along the bottom.
    c.vline(3, 11, 28, Blue);
    c.hline(3, 22, 28, Blue);
    c.vline(5, 11, 26, Red);
    c.hline(5, 20, 26, Red);
    // The connector plug at the right, on a blue lead.
    c.hline(23, 25, 28, Blue);
    c.rect(25, 24, 5, 7, DarkGrey);
    c.frame(25, 24, 5, 7, Black);
    c.rect(27, 22, 1, 2, DarkGrey);
    c.hline(21, 22, 26, Red);
    // The stylus: a blue body on the anti-diagonal x + y = 31, a grey point at the lower
    // left and a black cap at the upper right.
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const int along = x - y, across = x + y - 31;
            if (std::abs(across) <= 2 && along >= -15 && along <= 25)
                c.set(x, y, std::abs(across) == 2 ? Navy : Blue);
            if (std::abs(across) <= 1 && along >= -19 && along < -15)
                c.set(x, y, DarkGrey);
            if (std::abs(across) <= 1 && along > 25 && along <= 27)
                c.set(x, y, Black);
        }
    c.set(6, 25, Black); // the point
    // See-through stripes across the body: eight stripes of five pixels.
    for (int k : {-14, -9, -4, 1, 6, 11, 16, 21})
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                if ((x - y == k || x - y == k + 1) && std::abs(x + y - 31) <= 2)
                    c.set(x, y, Transparent);
    return c;
}

namespace {
Canvas mouse(int size) {
    // A mouse seen from above, cable leaving at the top; body chequered grey and white.
    const double s = size / 32.0;
    Canvas c(size, size);
    const double cx = 15.5 * s, cy = 20.0 * s, rx = 8.0 * s, ry = 10.5 * s;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double dx = (x + 0.5 - cx - 0.5) / rx, dy = (y + 0.5 - cy) / ry;
            const double d = dx * dx + dy * dy;
            if (d <= 1.0)
                c.set(x, y,
                      ((x / std::max(1, size / 16)) + (y / std::max(1, size / 16))) % 2 ? White : LightGrey);
        }
    // Outline: every body pixel next to a transparent one.
    Canvas outline = c;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            if (c.at(x, y) == Transparent)
                continue;
            const bool edge = x == 0 || y == 0 || x == size - 1 || y == size - 1 ||
                              c.at(x - 1, y) == Transparent || c.at(x + 1, y) == Transparent ||
                              c.at(x, y - 1) == Transparent || c.at(x, y + 1) == Transparent;
            if (edge)
                outline.set(x, y, Black);
        }
    c = outline;
    // The two buttons and the line under them.
    const int top = static_cast<int>(cy - ry);
    const int split = static_cast<int>(cy - ry * 0.35);
    c.vline(size / 2, top, split, Black);
    for (int x = 0; x < size; ++x)
        if (c.at(x, split) != Transparent)
            c.set(x, split, Black);
    // The cable.
    if (size >= 32) {
        c.vline(16, 4, top, Black);
        c.line(16, 4, 19, 1, Black);
        c.hline(19, 27, 1, Black);
    } else {
        c.vline(8, 2, top, Black);
        c.hline(8, 13, 1, Black);
    }
    return c;
}
} // namespace

std::vector<Canvas> mouseIcon() {
    return {mouse(32), mouse(16)};
}

QImage titleBanner() {
    QImage img(165, 64, QImage::Format_RGB32);
    img.fill(kSilver);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    QFont title(QStringLiteral("Liberation Serif"));
    title.setItalic(true);
    title.setBold(true);
    title.setPixelSize(27);
    p.setFont(title);
    p.setPen(kLightBlue);
    p.drawText(QRect(0, 1, 165, 32), Qt::AlignHCenter | Qt::AlignVCenter, QStringLiteral("Kelvaria 500"));
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(kLightBlue, 1));
    p.setBrush(Qt::NoBrush);
    // A chain of devices: keyboard unit, two flat boxes and a screen, joined by cables.
    // Keyboard unit, in perspective.
    QPolygon keyboard({QPoint(6, 60), QPoint(40, 60), QPoint(36, 49), QPoint(11, 49)});
    p.drawPolygon(keyboard);
    for (int row = 0; row < 2; ++row)
        for (int k = 0; k < 6; ++k)
            p.drawRect(13 + k * 4 - row, 52 + row * 4, 2, 1);
    p.drawLine(40, 56, 47, 56);
    // Two flat boxes, one on top of the other.
    p.drawRect(47, 50, 30, 10);
    p.drawRect(50, 43, 24, 7);
    p.drawLine(52, 55, 58, 55);
    p.drawPoint(73, 53);
    p.drawPoint(71, 46);
    p.drawLine(77, 55, 86, 55);
    // Another flat box with a slot.
    p.drawRect(86, 49, 32, 11);
    p.drawLine(92, 53, 110, 53);
    p.drawPoint(114, 56);
    p.drawLine(118, 54, 126, 54);
    // The screen on its foot.
    p.drawRect(126, 36, 32, 20);
    p.drawRect(129, 39, 26, 14);
    p.drawLine(137, 56, 135, 60);
    p.drawLine(147, 56, 149, 60);
    p.drawLine(132, 60, 152, 60);
    return img;
}

QImage makersEmblem() {
    QImage img(86, 60, QImage::Format_RGB32);
    img.fill(QColor(0xBF, 0xBF, 0xBF));
    QPainter p(&img);
    const QColor navy(0x00, 0x00, 0x80), blue(0x00, 0x00, 0xFF), magenta(0xFF, 0x00, 0xFF);
    // The dark-blue frame.
    p.fillRect(0, 0, 86, 2, navy);
    p.fillRect(0, 58, 86, 2, navy);
    p.fillRect(0, 0, 2, 60, navy);
    p.fillRect(84, 0, 2, 60, navy);
    // Circuit-like lines with their pads.
    p.setPen(QPen(blue, 1));
    const QList<QLine> traces = {QLine(5, 6, 30, 6),    QLine(30, 6, 34, 10),  QLine(34, 10, 50, 10),
                                 QLine(5, 12, 14, 12),  QLine(14, 12, 18, 16), QLine(60, 5, 80, 5),
                                 QLine(80, 5, 80, 20),  QLine(66, 10, 66, 18), QLine(5, 52, 22, 52),
                                 QLine(22, 52, 26, 48), QLine(40, 55, 48, 55)};
    for (const QLine& l : traces)
        p.drawLine(l);
    for (QPoint pad :
         {QPoint(50, 10), QPoint(18, 16), QPoint(60, 5), QPoint(66, 18), QPoint(26, 48), QPoint(40, 55)})
        p.fillRect(pad.x() - 1, pad.y() - 1, 3, 3, blue);
    // Small boxes with magenta dots.
    for (QPoint box : {QPoint(38, 14), QPoint(56, 12)}) {
        p.setPen(navy);
        p.drawRect(box.x(), box.y(), 8, 5);
        for (int i = 0; i < 4; ++i)
            img.setPixel(box.x() + 2 + i * 2 - (i > 1 ? 1 : 0), box.y() + 2 + (i % 2), magenta.rgb());
    }
    // A keypad in perspective.
    const QPoint a(56, 38), b(78, 38), c(82, 54), d(52, 54);
    p.setPen(navy);
    p.drawPolygon(QPolygon({a, b, c, d}));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 4; ++col) {
            const double t = (row + 0.5) / 3.0;
            const double left = a.x() + (d.x() - a.x()) * t, right = b.x() + (c.x() - b.x()) * t;
            const int x = static_cast<int>(left + (right - left) * (col + 0.25) / 4.0);
            const int y = static_cast<int>(a.y() + (d.y() - a.y()) * t) - 1;
            p.fillRect(x, y, 3 + row / 2, 2, blue);
        }
    // The maker's name in two lines of outlined lettering.
    p.setRenderHint(QPainter::Antialiasing, true);
    QFont f(QStringLiteral("Liberation Sans"));
    f.setBold(true);
    f.setPixelSize(13);
    f.setLetterSpacing(QFont::AbsoluteSpacing, -0.5);
    QPainterPath name;
    name.addText(6, 33, f, QStringLiteral("TRAMONTE"));
    f.setPixelSize(12);
    name.addText(8, 48, f, QStringLiteral("c.a."));
    p.setBrush(Qt::white);
    p.setPen(QPen(navy, 1));
    p.drawPath(name);
    return img;
}

} // namespace picgen
