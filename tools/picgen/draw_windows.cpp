// The secondary windows' pictures: the help window's contact sheet and the company
// window's thank-you collage.
#include "pictures.h"
#include "resources/picture_texts.h"

#include <QPainter>
#include <QPainterPath>
#include <QSet>
#include <stdexcept>
#include <string>

namespace picgen {

namespace {

// Lettering without smoothing, so a picture keeps the few colours it is drawn in.
QFont crispFont(const char* family, int px, bool bold = false) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(px);
    f.setBold(bold);
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

int colourCount(const QImage& img) {
    QSet<QRgb> seen;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            seen.insert(img.pixel(x, y) & 0xFFFFFF);
    return static_cast<int>(seen.size());
}

} // namespace

QImage helpSheet() {
    const QColor white(255, 255, 255), grey(0x80, 0x80, 0x80), shadow(0xC0, 0xC0, 0xC0), yellow(255, 220, 0),
        red(220, 0, 0), darkRed(120, 0, 0), black(0, 0, 0), blue(0, 70, 200), brown(150, 90, 30),
        green(0, 150, 60), orange(255, 140, 0), sky(120, 190, 255), pink(240, 120, 180);
    QImage img(259, 266, QImage::Format_RGB32);
    img.fill(white);
    QPainter p(&img);
    // The question mark with its shadow.
    QFont q = crispFont("Liberation Serif", 46, true);
    p.setFont(q);
    p.setPen(shadow);
    p.drawText(QRect(9, 3, 36, 50), Qt::AlignCenter, QStringLiteral("?"));
    p.setPen(yellow);
    p.drawText(QRect(6, 0, 36, 50), Qt::AlignCenter, QStringLiteral("?"));
    // The introduction.
    p.setFont(crispFont("Liberation Sans", 11));
    p.setPen(grey);
    p.drawText(QRect(46, 6, 210, 48), Qt::AlignLeft | Qt::AlignTop,
               QString::fromUtf8(kv::picture_text::helpIntro));
    // The telephone: a red handset on its base.
    p.fillRect(10, 66, 24, 12, red);
    p.fillRect(14, 62, 16, 5, darkRed);
    p.fillRect(18, 69, 8, 6, white);
    p.setPen(black);
    p.drawRect(10, 62, 24, 16);
    p.setPen(grey);
    p.drawText(QRect(42, 62, 214, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(kv::picture_text::helpPhone));
    p.drawText(QRect(42, 84, 214, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(kv::picture_text::helpMail));
    // A letter with a pen, beside the postal address.
    p.setPen(black);
    p.setBrush(white);
    p.drawRect(8, 112, 26, 18);
    p.drawLine(8, 112, 21, 122);
    p.drawLine(34, 112, 21, 122);
    p.setPen(QPen(blue, 2));
    p.drawLine(24, 134, 36, 108);
    p.setPen(brown);
    p.drawPoint(24, 135);
    p.setPen(grey);
    p.drawText(QRect(42, 106, 214, 60), Qt::AlignLeft | Qt::AlignTop,
               QString::fromUtf8(kv::picture_text::helpPostal));
    // A building, beside the second organisation.
    p.setPen(black);
    p.setBrush(orange);
    p.drawRect(8, 178, 26, 28);
    p.setBrush(brown);
    p.drawPolygon(QPolygon({QPoint(6, 178), QPoint(21, 168), QPoint(36, 178)}));
    p.setBrush(sky);
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            p.drawRect(11 + k * 8, 182 + r * 7, 4, 4);
    p.setPen(grey);
    p.drawText(QRect(42, 170, 150, 90), Qt::AlignLeft | Qt::AlignTop,
               QString::fromUtf8(kv::picture_text::helpSchool));
    // A small map of the country, with a year across its lower left.
    QPainterPath land;
    land.moveTo(200, 214);
    land.lineTo(222, 204);
    land.lineTo(246, 210);
    land.lineTo(252, 232);
    land.lineTo(238, 256);
    land.lineTo(212, 258);
    land.lineTo(196, 240);
    land.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    p.drawPath(land);
    p.setBrush(pink);
    p.drawRect(218, 212, 16, 14);
    p.setBrush(yellow);
    p.drawRect(232, 230, 12, 14);
    p.setBrush(sky);
    p.drawRect(204, 228, 12, 10);
    p.setPen(darkRed);
    p.setFont(crispFont("Liberation Sans", 11, true));
    p.drawText(QRect(194, 240, 40, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(kv::picture_text::helpYear));
    p.end();
    if (colourCount(img) != 13)
        throw std::runtime_error("help sheet: " + std::to_string(colourCount(img)) + " colours, not 13");
    return img;
}

QImage companyCollage() {
    const QColor black(0, 0, 0), white(255, 255, 255), grey(0x7F, 0x7F, 0x7F), light(0xBF, 0xBF, 0xBF),
        red(0xFF, 0, 0);
    QImage img(545, 346, QImage::Format_RGB32);
    img.fill(light);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Photographs: a mixing desk, tape machines, computers and people at work.
    auto person = [&](int x, int y, const QColor& c) {
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(x, y, 22, 24);
        p.drawRoundedRect(x - 12, y + 24, 46, 50, 12, 12);
    };
    // Photo 1: the mixing desk.
    p.fillRect(0, 0, 190, 130, grey);
    p.fillRect(10, 70, 170, 55, black);
    for (int ch = 0; ch < 16; ++ch) {
        p.fillRect(16 + ch * 10, 76, 3, 40, grey);
        p.fillRect(14 + ch * 10, 84 + (ch * 13) % 24, 7, 5, white);
        p.fillRect(15 + ch * 10, 120, 5, 3, light);
    }
    person(70, 8, black);
    // Photo 2: tape machines.
    p.fillRect(190, 0, 170, 130, black);
    for (int m = 0; m < 2; ++m) {
        const int x = 200 + m * 82;
        p.fillRect(x, 12, 72, 106, grey);
        p.setPen(Qt::NoPen);
        p.setBrush(white);
        p.drawEllipse(x + 6, 18, 26, 26);
        p.drawEllipse(x + 40, 18, 26, 26);
        p.setBrush(black);
        p.drawEllipse(x + 16, 28, 6, 6);
        p.drawEllipse(x + 50, 28, 6, 6);
        p.fillRect(x + 8, 60, 56, 8, light);
        for (int k = 0; k < 5; ++k)
            p.fillRect(x + 10 + k * 11, 90, 7, 12, white);
    }
    // Photo 3: computers and the people who use them.
    p.fillRect(360, 0, 185, 130, white);
    for (int k = 0; k < 2; ++k) {
        const int x = 372 + k * 86;
        p.fillRect(x, 30, 66, 50, black);
        p.fillRect(x + 5, 35, 56, 38, grey);
        p.fillRect(x + 26, 80, 14, 10, black);
        p.fillRect(x - 4, 92, 74, 10, light);
    }
    // The lower row of photographs.
    p.fillRect(0, 230, 545, 112, grey);
    person(40, 244, light);
    person(130, 250, white);
    p.fillRect(200, 236, 150, 70, black);
    for (int k = 0; k < 12; ++k)
        p.fillRect(208 + k * 12, 246, 6, 50, k % 3 ? light : white);
    person(410, 246, black);
    p.fillRect(470, 260, 60, 40, white);
    p.fillRect(476, 266, 48, 28, black);
    // The thank-you message, in large red serif lettering on four lines.
    p.fillRect(0, 130, 545, 100, white);
    p.setPen(red);
    p.setFont(crispFont("Liberation Serif", 23, true));
    int line = 0;
    for (const char* text : kv::picture_text::thanks)
        p.drawText(QRect(0, 132 + line++ * 24, 545, 24), Qt::AlignCenter, QString::fromUtf8(text));
    // The maker's small logo at the top right.
    p.fillRect(505, 6, 34, 26, black);
    p.setPen(white);
    p.setFont(crispFont("Liberation Serif", 18, true));
    p.drawText(QRect(505, 6, 34, 26), Qt::AlignCenter, QStringLiteral("Tc"));
    // The bottom strip, and the drawing of a small "Cerrar" button at columns 217 to 281,
    // rows 321 to 337: the real button covers it but for its right and bottom edges.
    p.fillRect(0, 306, 545, 40, white);
    p.fillRect(217, 321, 65, 17, light);
    p.fillRect(217, 321, 64, 1, white);
    p.fillRect(217, 321, 1, 16, white);
    p.fillRect(217, 337, 65, 1, black);
    p.fillRect(281, 321, 1, 17, black);
    p.fillRect(218, 336, 63, 1, grey);
    p.fillRect(280, 322, 1, 15, grey);
    p.setPen(black);
    p.setFont(crispFont("Liberation Sans", 11));
    p.drawText(QRect(217, 321, 64, 16), Qt::AlignCenter, QStringLiteral("Cerrar"));
    p.end();
    if (colourCount(img) != 5)
        throw std::runtime_error("company picture: " + std::to_string(colourCount(img)) + " colours, not 5");
    return img;
}

} // namespace picgen
