#pragma once
// Pixel drawing for the program's icons: a grid of indexes into the standard
// 16-colour palette, with Transparent for pixels whose mask bit is set.
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <array>
#include <string_view>
#include <vector>

namespace picgen {

enum Ix : int {
    Transparent = -1,
    Black = 0,
    Maroon,
    Green,
    Olive,
    Navy,
    Purple,
    Teal,
    DarkGrey,
    LightGrey,
    Red,
    Lime,
    Yellow,
    Blue,
    Magenta,
    Cyan,
    White,
};

// The standard 16-colour palette, index 0 to 15, as 0xRRGGBB.
inline constexpr std::array<unsigned, 16> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080,
    0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

class Canvas {
public:
    Canvas(int w, int h, int fill = Transparent) : w_(w), h_(h), px_(static_cast<size_t>(w * h), fill) {}
    int width() const { return w_; }
    int height() const { return h_; }
    int at(int x, int y) const { return px_[static_cast<size_t>(y * w_ + x)]; }
    void set(int x, int y, int c) {
        if (x >= 0 && y >= 0 && x < w_ && y < h_)
            px_[static_cast<size_t>(y * w_ + x)] = c;
    }
    void rect(int x, int y, int w, int h, int c);  // filled
    void frame(int x, int y, int w, int h, int c); // outline
    void hline(int x1, int x2, int y, int c) { rect(x1, y, x2 - x1 + 1, 1, c); }
    void vline(int x, int y1, int y2, int c) { rect(x, y1, 1, y2 - y1 + 1, c); }
    void line(int x0, int y0, int x1, int y1, int c); // Bresenham
    // Rows of characters, one per pixel, drawn from (x, y); a key maps characters to
    // indexes and a space leaves the pixel as it is.
    void art(int x, int y, std::initializer_list<std::string_view> rows, std::string_view key,
             std::initializer_list<int> values);
    int count(int c) const;
    // Scales down by an integer factor, taking the most frequent index of each block.
    Canvas shrink(int factor) const;

private:
    int w_, h_;
    std::vector<int> px_;
};

// A 16-colour icon file: one 4-bit image with its mask per canvas, in the given order.
QByteArray writeIcon(const std::vector<Canvas>& images);
// The group directory (GRPICONDIR) of an icon file's first image, naming that image by
// a resource identifier.
QByteArray iconGroup(const QByteArray& iconFile, int imageId);
// A 24-bit uncompressed bottom-up BMP file.
QByteArray writeBmp24(const QImage& image);
// A BMP file with an 8-bit palette (at most 256 colours in the image).
QByteArray writeBmp8(const QImage& image);

} // namespace picgen
