// The picture buttons' icons, which are also the secondary windows' title-bar icons:
// copy, print, help and the maker's monogram (exit).
#include "pictures.h"

#include <stdexcept>
#include <string>

namespace picgen {

namespace {

// A 3-D frame drawn by the image itself: black outer line, light top and left,
// dark grey right and bottom.
void ownFrame(Canvas& c, int topLeft) {
    c.frame(0, 0, 32, 32, Black);
    c.hline(1, 29, 1, topLeft);
    c.vline(1, 1, 29, topLeft);
    c.vline(30, 1, 30, DarkGrey);
    c.hline(1, 30, 30, DarkGrey);
}

// Makes opaque, one pixel at a time along the path, as many transparent pixels as it
// takes to leave exactly `target` transparent ones.
void extendAlong(Canvas& c, const std::vector<std::pair<int, int>>& path, int colour, int target,
                 const char* what) {
    for (auto [x, y] : path) {
        if (c.count(Transparent) <= target)
            break;
        if (c.at(x, y) == Transparent)
            c.set(x, y, colour);
    }
    if (c.count(Transparent) != target)
        throw std::runtime_error(std::string(what) + ": cannot reach " + std::to_string(target) +
                                 " transparent pixels (" + std::to_string(c.count(Transparent)) + ")");
}

// A light grey 3-D box: white top and left, dark grey bottom and right, black outline.
void box3d(Canvas& c, int x, int y, int w, int h) {
    c.rect(x, y, w, h, LightGrey);
    c.hline(x + 1, x + w - 2, y + 1, White);
    c.vline(x + 1, y + 1, y + h - 2, White);
    c.hline(x + 1, x + w - 2, y + h - 2, DarkGrey);
    c.vline(x + w - 2, y + 1, y + h - 2, DarkGrey);
    c.frame(x, y, w, h, Black);
}

} // namespace

Canvas copyIcon() {
    Canvas c(32, 32, LightGrey);
    ownFrame(c, White);
    // The sheet with its tick marks.
    c.rect(4, 3, 24, 17, White);
    c.frame(4, 3, 24, 17, Black);
    for (int y = 5; y <= 17; y += 2)
        c.hline(5, 6, y, Black);
    // A cyan right-angled shape edged in blue.
    for (int y = 8; y <= 17; ++y)
        c.hline(9, 9 + (y - 8), y, Cyan);
    c.line(9, 8, 18, 17, Blue);
    c.vline(9, 8, 17, Blue);
    c.hline(9, 18, 17, Blue);
    // A blue triangle at the top right with a grey knob beside it.
    for (int y = 5; y <= 10; ++y)
        c.hline(25 - (y - 5), 25, y, Blue);
    c.rect(21, 12, 2, 2, DarkGrey);
    // Black diagonal lines.
    c.line(12, 5, 17, 10, Black);
    c.line(14, 5, 19, 10, Black);
    c.line(20, 18, 26, 12, Black);
    // The bar across the image, and the base with its red and maroon panel.
    c.rect(2, 21, 28, 3, DarkGrey);
    c.frame(2, 21, 28, 3, Black);
    c.frame(19, 24, 9, 5, Black);
    c.rect(20, 25, 4, 3, Red);
    c.rect(24, 25, 3, 3, Maroon);
    if (c.count(Transparent) != 0)
        throw std::runtime_error("copy icon: transparent pixels");
    return c;
}

namespace {
Canvas printScene32() {
    Canvas c(32, 32);
    // The computer: a box with its dark screen, on a flat base.
    box3d(c, 1, 6, 14, 13);
    c.rect(4, 9, 8, 7, Navy);
    c.frame(3, 8, 10, 9, Black);
    c.set(5, 10, Teal);
    box3d(c, 0, 20, 16, 5);
    c.hline(10, 13, 22, Lime);
    // The printer, with a sheet standing out of it.
    c.rect(20, 4, 8, 11, White);
    c.frame(20, 4, 8, 11, Black);
    for (int y = 6; y <= 12; y += 2)
        c.hline(22, 25, y, DarkGrey);
    box3d(c, 17, 14, 15, 10);
    c.hline(19, 29, 17, Black);
    c.set(29, 20, Lime);
    // The cable between them, drooping below both.
    c.vline(8, 25, 28, Black);
    c.hline(8, 24, 28, Black);
    c.vline(24, 24, 28, Black);
    return c;
}

Canvas printScene16() {
    Canvas c(16, 16);
    box3d(c, 0, 3, 8, 7);
    c.rect(2, 5, 4, 3, Navy);
    box3d(c, 1, 10, 6, 3);
    c.rect(10, 1, 4, 6, White);
    c.frame(10, 1, 4, 6, Black);
    box3d(c, 8, 7, 8, 5);
    c.vline(4, 13, 14, Black);
    c.hline(4, 12, 14, Black);
    c.vline(12, 12, 14, Black);
    return c;
}
} // namespace

std::vector<Canvas> printIcon() {
    Canvas big = printScene32();
    // The cable's plug and the paper's shadow take the remaining pixels.
    std::vector<std::pair<int, int>> path32;
    for (int x = 9; x <= 23; ++x)
        path32.push_back({x, 29});
    for (int y = 15; y <= 19; ++y)
        path32.push_back({16, y});
    extendAlong(big, path32, Black, 467 + 21, "print icon 32");
    // The paper tray under the printer.
    std::vector<std::pair<int, int>> tray;
    for (int x = 19; x <= 30; ++x)
        tray.push_back({x, 24});
    for (int x = 20; x <= 31; ++x)
        tray.push_back({x, 25});
    extendAlong(big, tray, DarkGrey, 467, "print icon 32");
    Canvas small = printScene16();
    std::vector<std::pair<int, int>> path16;
    for (int x = 5; x <= 11; ++x)
        path16.push_back({x, 15});
    extendAlong(small, path16, Black, 106, "print icon 16");
    return {big, small};
}

Canvas helpIcon() {
    Canvas c(32, 32, LightGrey);
    c.frame(0, 0, 32, 32, Black);
    c.vline(30, 2, 30, DarkGrey);
    c.hline(2, 30, 30, DarkGrey);
    // The inner line along the top and left is see-through.
    c.hline(1, 30, 1, Transparent);
    c.vline(1, 2, 30, Transparent);
    c.rect(24, 25, 5, 4, Cyan);
    // A, B and C down the left side.
    c.art(3, 3, {" B ", "B B", "BBB", "B B", "B B"}, "B", {Blue});
    c.art(3, 12, {"BB ", "B B", "BB ", "B B", "BB "}, "B", {Blue});
    c.art(3, 21, {" BB", "B  ", "B  ", "B  ", " BB"}, "B", {Blue});
    // The pointer stick, held by the hand.
    c.line(8, 6, 19, 17, Black);
    c.line(9, 6, 20, 17, Black);
    c.art(14, 14,
          {"   KK       ", "  KWWK      ", "  KWWWK     ", "   KWWWKKK  ", "   KWWWWWWK ", "  KWWWKWWWWK",
           " KWWWWWKWWWK", " KWWTWWWWWWK", "  KWWWWWWWK ", "   KWWWWWK  ", "    KWWWK   ", "     KKK    "},
          "KWT", {Black, White, Transparent});
    return c;
}

Canvas exitIcon() {
    Canvas c(32, 32, LightGrey);
    c.frame(0, 0, 32, 32, Black);
    c.hline(1, 30, 1, White);
    c.vline(30, 2, 30, DarkGrey);
    c.hline(1, 30, 30, DarkGrey);
    // The inner margin along the top and left is see-through.
    c.hline(1, 29, 2, Transparent);
    c.hline(2, 29, 3, Transparent);
    c.vline(1, 3, 29, Transparent);
    // The monogram: a T over a c, in blue outline strokes.
    Canvas shape(32, 32);
    shape.rect(5, 6, 21, 5, Blue);   // the T's bar
    shape.rect(13, 6, 5, 20, Blue);  // its stem
    shape.rect(18, 15, 9, 4, Blue);  // the c: top
    shape.rect(18, 15, 4, 11, Blue); //        left
    shape.rect(18, 22, 9, 4, Blue);  //        bottom
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            if (shape.at(x, y) != Blue)
                continue;
            const bool edge =
                shape.at(x - 1 < 0 ? 0 : x - 1, y) != Blue || shape.at(x + 1 > 31 ? 31 : x + 1, y) != Blue ||
                shape.at(x, y - 1 < 0 ? 0 : y - 1) != Blue || shape.at(x, y + 1 > 31 ? 31 : y + 1) != Blue;
            c.set(x, y, edge ? Blue : White);
        }
    return c;
}

} // namespace picgen
