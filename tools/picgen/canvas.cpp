#include "canvas.h"

#include <QHash>
#include <QtEndian>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace picgen {

void Canvas::rect(int x, int y, int w, int h, int c) {
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i)
            set(i, j, c);
}

void Canvas::frame(int x, int y, int w, int h, int c) {
    hline(x, x + w - 1, y, c);
    hline(x, x + w - 1, y + h - 1, c);
    vline(x, y, y + h - 1, c);
    vline(x + w - 1, y, y + h - 1, c);
}

void Canvas::line(int x0, int y0, int x1, int y1, int c) {
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        set(x0, y0, c);
        if (x0 == x1 && y0 == y1)
            break;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

void Canvas::art(int x, int y, std::initializer_list<std::string_view> rows, std::string_view key,
                 std::initializer_list<int> values) {
    if (key.size() != values.size())
        throw std::logic_error("art key and values differ in length");
    const std::vector<int> v(values);
    int j = y;
    for (std::string_view row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            if (row[i] == ' ')
                continue;
            const auto k = key.find(row[i]);
            if (k == std::string_view::npos)
                throw std::logic_error(std::string("art character not in key: ") + row[i]);
            set(x + static_cast<int>(i), j, v[k]);
        }
        ++j;
    }
}

int Canvas::count(int c) const {
    int n = 0;
    for (int p : px_)
        n += p == c;
    return n;
}

Canvas Canvas::shrink(int factor) const {
    Canvas out(w_ / factor, h_ / factor);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            std::map<int, int> votes;
            for (int j = 0; j < factor; ++j)
                for (int i = 0; i < factor; ++i)
                    ++votes[at(x * factor + i, y * factor + j)];
            int best = Transparent, bestVotes = -1;
            for (auto [c, n] : votes)
                if (n > bestVotes || (n == bestVotes && c != Transparent)) {
                    best = c;
                    bestVotes = n;
                }
            out.set(x, y, best);
        }
    return out;
}

namespace {

void put16(QByteArray& b, unsigned v) {
    b.append(static_cast<char>(v & 0xFF));
    b.append(static_cast<char>((v >> 8) & 0xFF));
}
void put32(QByteArray& b, unsigned v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

void putInfoHeader(QByteArray& b, int w, int h, int bits, unsigned imageSize, unsigned colorsUsed) {
    put32(b, 40);
    put32(b, static_cast<unsigned>(w));
    put32(b, static_cast<unsigned>(h));
    put16(b, 1);
    put16(b, static_cast<unsigned>(bits));
    put32(b, 0); // no compression
    put32(b, imageSize);
    put32(b, 0);
    put32(b, 0);
    put32(b, colorsUsed);
    put32(b, 0);
}

QByteArray iconImage(const Canvas& c) {
    const int w = c.width(), h = c.height();
    const int xorStride = ((w * 4 + 31) / 32) * 4;
    const int andStride = ((w + 31) / 32) * 4;
    QByteArray b;
    putInfoHeader(b, w, h * 2, 4, static_cast<unsigned>((xorStride + andStride) * h), 0);
    for (unsigned rgb : kPalette) {
        b.append(static_cast<char>(rgb & 0xFF));
        b.append(static_cast<char>((rgb >> 8) & 0xFF));
        b.append(static_cast<char>((rgb >> 16) & 0xFF));
        b.append('\0');
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(xorStride, '\0');
        for (int x = 0; x < w; ++x) {
            const int ix = c.at(x, y) < 0 ? 0 : c.at(x, y);
            row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 ? ix : ix << 4));
        }
        b.append(row);
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(andStride, '\0');
        for (int x = 0; x < w; ++x)
            if (c.at(x, y) < 0)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        b.append(row);
    }
    return b;
}

} // namespace

QByteArray writeIcon(const std::vector<Canvas>& images) {
    std::vector<QByteArray> bodies;
    for (const Canvas& c : images)
        bodies.push_back(iconImage(c));
    QByteArray b;
    put16(b, 0);
    put16(b, 1);
    put16(b, static_cast<unsigned>(images.size()));
    unsigned offset = 6 + 16 * static_cast<unsigned>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        b.append(static_cast<char>(images[i].width()));
        b.append(static_cast<char>(images[i].height()));
        b.append(static_cast<char>(16));
        b.append('\0');
        put16(b, 1);
        put16(b, 4);
        put32(b, static_cast<unsigned>(bodies[i].size()));
        put32(b, offset);
        offset += static_cast<unsigned>(bodies[i].size());
    }
    for (const QByteArray& body : bodies)
        b.append(body);
    return b;
}

QByteArray iconGroup(const QByteArray& iconFile, int imageId) {
    QByteArray b;
    put16(b, 0);
    put16(b, 1); // an icon
    put16(b, 1); // one entry
    b.append(iconFile.mid(6, 12)); // width, height, colours, reserved, planes, bits, size
    put16(b, static_cast<unsigned>(imageId));
    return b;
}

QByteArray writeBmp24(const QImage& source) {
    const QImage img = source.convertToFormat(QImage::Format_RGB888);
    const int w = img.width(), h = img.height();
    const int stride = ((w * 3 + 3) / 4) * 4;
    const unsigned pixelBytes = static_cast<unsigned>(stride * h);
    QByteArray b("BM");
    put32(b, 14 + 40 + pixelBytes);
    put32(b, 0);
    put32(b, 14 + 40);
    putInfoHeader(b, w, h, 24, pixelBytes, 0);
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(stride, '\0');
        const uchar* src = img.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            row[x * 3] = static_cast<char>(src[x * 3 + 2]);
            row[x * 3 + 1] = static_cast<char>(src[x * 3 + 1]);
            row[x * 3 + 2] = static_cast<char>(src[x * 3]);
        }
        b.append(row);
    }
    return b;
}

QByteArray writeBmp8(const QImage& source) {
    const QImage img = source.convertToFormat(QImage::Format_RGB32);
    const int w = img.width(), h = img.height();
    std::vector<QRgb> palette;
    QHash<QRgb, int> index;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = img.pixel(x, y) & 0xFFFFFF;
            if (!index.contains(c)) {
                if (palette.size() == 256)
                    throw std::runtime_error("more than 256 colours for an 8-bit bitmap");
                index.insert(c, static_cast<int>(palette.size()));
                palette.push_back(c);
            }
        }
    const int stride = ((w + 3) / 4) * 4;
    const unsigned pixelBytes = static_cast<unsigned>(stride * h);
    const unsigned paletteBytes = static_cast<unsigned>(palette.size() * 4);
    QByteArray b("BM");
    put32(b, 14 + 40 + paletteBytes + pixelBytes);
    put32(b, 0);
    put32(b, 14 + 40 + paletteBytes);
    putInfoHeader(b, w, h, 8, pixelBytes, static_cast<unsigned>(palette.size()));
    for (QRgb c : palette) {
        b.append(static_cast<char>(qBlue(c)));
        b.append(static_cast<char>(qGreen(c)));
        b.append(static_cast<char>(qRed(c)));
        b.append('\0');
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(stride, '\0');
        for (int x = 0; x < w; ++x)
            row[x] = static_cast<char>(index.value(img.pixel(x, y) & 0xFFFFFF));
        b.append(row);
    }
    return b;
}

} // namespace picgen
