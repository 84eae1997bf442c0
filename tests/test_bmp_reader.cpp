// The bitmap reader: each variant written by the test's own writer from a known picture
// and read back pixel by pixel; malformed files raise the invalid-picture error. Then the
// picture file as LoadPicture reads it: special files, permissions, absurd sizes and
// files that change while they are read.
#include "picture/bmp_reader.h"
#include "picture/picture.h"
#include "picture/picture_error.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/picture_file.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kv;

namespace {

void put16(QByteArray& b, quint32 v) {
    b.append(char(v & 0xFF));
    b.append(char((v >> 8) & 0xFF));
}
void put32(QByteArray& b, quint32 v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void set32(QByteArray& b, int at, quint32 v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// What the test writes: a header of any size and the raw bytes that follow it.
struct Bmp {
    int headerSize = 40;
    int width = 0, height = 0; // height < 0: top-down
    int bits = 24;
    quint32 compression = 0;
    quint32 colorsUsed = 0;
    QList<QRgb> palette; // written as 4-byte entries (3 for the 12-byte header)
    quint32 masks[4] = {0, 0, 0, 0};
    bool masksAfterHeader = false; // the 40-byte header's BITFIELDS masks
    int maskCount = 3;
    QByteArray pixels;
    quint32 imageSize = 0;
    quint32 xPerMetre = 2835, yPerMetre = 2835;
    quint32 colourSpace = 0;   // a version 5 header's: 'MBED' embedded, 'LINK' linked profile
    QByteArray profile;        // written after the pixels, its offset counted from the header
    qint64 profileOffset = -1; // another offset than where it is

    QByteArray bytes() const {
        QByteArray h;
        if (headerSize == 12) {
            put32(h, 12);
            put16(h, quint32(width));
            put16(h, quint32(height));
            put16(h, 1);
            put16(h, quint32(bits));
        } else {
            QByteArray full;
            put32(full, quint32(headerSize));
            put32(full, quint32(width));
            put32(full, quint32(height));
            put16(full, 1);
            put16(full, quint32(bits));
            put32(full, compression);
            put32(full, imageSize ? imageSize : quint32(pixels.size()));
            put32(full, xPerMetre);
            put32(full, yPerMetre);
            const bool fullPalette = bits >= 1 && bits <= 8 && palette.size() == (1 << bits);
            put32(full, colorsUsed || fullPalette ? colorsUsed : quint32(palette.size()));
            put32(full, 0);
            for (quint32 m : masks)
                put32(full, m);
            while (full.size() < 124)
                full.append('\0');
            set32(full, 56, colourSpace);
            h = full.left(headerSize);
        }
        if (masksAfterHeader)
            for (int i = 0; i < maskCount; ++i)
                put32(h, masks[i]);
        for (QRgb c : palette) {
            h.append(char(qBlue(c)));
            h.append(char(qGreen(c)));
            h.append(char(qRed(c)));
            if (headerSize != 12)
                h.append('\0');
        }
        if (headerSize == 124 && !profile.isEmpty()) {
            set32(h, 112, quint32(profileOffset >= 0 ? profileOffset : h.size() + pixels.size()));
            set32(h, 116, quint32(profile.size()));
        }
        QByteArray f("BM");
        put32(f, quint32(14 + h.size() + pixels.size() + profile.size()));
        put32(f, 0);
        put32(f, quint32(14 + h.size()));
        return f + h + pixels + profile;
    }
};

// KV_BMP_EXPECTED=folder (beside KV_BMP_SEEDS) keeps, for each seed whose picture a test
// compares with the picture it must show, that picture as NAME.png, NAME.bmp the seed.
const QString expectedFolder = qEnvironmentVariable("KV_BMP_EXPECTED");
QString lastSeed; // the name of the seed decoded last, and its picture's key
qint64 lastDecoded = 0;

QImage decode(const QByteArray& file) {
    // KV_BMP_SEEDS=folder keeps every file the tests decode, as seeds for the fuzzer.
    static const QString seeds = qEnvironmentVariable("KV_BMP_SEEDS");
    lastSeed.clear();
    if (!seeds.isEmpty() && file.size() <= 65536) {
        const QString name = QCryptographicHash::hash(file, QCryptographicHash::Sha1).toHex();
        QFile out(seeds + "/" + name + ".bmp");
        if (out.open(QIODevice::WriteOnly) && out.write(file) == file.size())
            lastSeed = name;
    }
    QImage img = decodeBmp(reinterpret_cast<const std::uint8_t*>(file.constData()), std::size_t(file.size()));
    lastDecoded = img.cacheKey();
    return img;
}

void keepExpected(const QImage& got, const QImage& want) {
    if (!expectedFolder.isEmpty() && !lastSeed.isEmpty() && !got.isNull() && got.cacheKey() == lastDecoded)
        want.convertToFormat(QImage::Format_ARGB32).save(expectedFolder + "/" + lastSeed + ".png");
}

// The kind of picture error decoding the file raises; none when it decodes.
std::optional<PictureError::Kind> errorOf(const QByteArray& file) {
    try {
        decode(file);
    } catch (const PictureError& e) {
        return e.kind();
    }
    return std::nullopt;
}

// A picture with something different in every pixel, in the colours of `colour(x, y)`.
QImage pattern(int w, int h, const std::function<QRgb(int, int)>& colour) {
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, colour(x, y));
    return img;
}

QRgb rgb24(int x, int y) {
    return qRgb((x * 37 + y * 11) & 0xFF, (x * 5 + y * 71) & 0xFF, (x * y + 13) & 0xFF);
}

// Rows of pixels, bottom-up unless topDown, each padded to 4 bytes.
QByteArray rows(int w, int h, int bits, bool topDown, const std::function<quint32(int, int)>& value) {
    QByteArray out;
    const int stride = ((w * bits + 31) / 32) * 4;
    for (int r = 0; r < h; ++r) {
        const int y = topDown ? r : h - 1 - r;
        QByteArray row(stride, '\0');
        for (int x = 0; x < w; ++x) {
            const quint32 v = value(x, y);
            if (bits < 8) {
                const int perByte = 8 / bits;
                row[x / perByte] = char(uchar(row[x / perByte]) | (v << (8 - bits * (x % perByte + 1))));
            } else {
                for (int i = 0; i < bits / 8; ++i)
                    row[x * (bits / 8) + i] = char((v >> (8 * i)) & 0xFF);
            }
        }
        out += row;
    }
    return out;
}

void comparePixels(const QImage& got, const QImage& want) {
    keepExpected(got, want);
    QCOMPARE(got.size(), want.size());
    const QImage g = got.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < want.height(); ++y)
        for (int x = 0; x < want.width(); ++x)
            if (g.pixel(x, y) != want.pixel(x, y))
                QFAIL(qPrintable(QString("pixel %1,%2: %3 instead of %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(g.pixel(x, y), 8, 16, QChar('0'))
                                     .arg(want.pixel(x, y), 8, 16, QChar('0'))));
}

QList<QRgb> somePalette(int n) {
    QList<QRgb> p;
    for (int i = 0; i < n; ++i)
        p << qRgb((i * 53) & 0xFF, (i * 97 + 40) & 0xFF, (255 - i * 31) & 0xFF);
    return p;
}

int scale(quint32 v, int bitsWide) {
    const quint64 max = (quint64(1) << bitsWide) - 1;
    return int((v * 255 + max / 2) / max);
}

// What some work done in a child process came to: the number it returned, or that it
// crashed (with the signal) or hung (killed after the time allowed). A hang or a crash
// of the code under test so ends one check, not the whole test program.
struct Outcome {
    enum Kind { Returned, Crashed, Hung } kind = Hung;
    int value = 0;
    QString describe() const {
        return kind == Returned  ? QString("returned %1").arg(value)
               : kind == Crashed ? QString("crashed with signal %1").arg(value)
                                 : QString("still running after the time allowed");
    }
};

Outcome inChild(const std::function<int()>& work, int allowedMs = 3000) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        qFatal("pipe");
    const pid_t pid = ::fork();
    if (pid < 0)
        qFatal("fork");
    if (pid == 0) {
        ::close(fds[0]);
        for (int sig : {SIGBUS, SIGSEGV, SIGABRT, SIGILL, SIGFPE}) // not the test library's handler
            std::signal(sig, SIG_DFL);
        const int v = work();
        if (::write(fds[1], &v, sizeof v) != sizeof v)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, allowedMs);
    Outcome out;
    int v = 0;
    if (ready > 0 && ::read(fds[0], &v, sizeof v) == sizeof v)
        out = {Outcome::Returned, v};
    else if (ready <= 0)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (ready > 0 && out.kind != Outcome::Returned)
        out = {Outcome::Crashed, WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status)};
    ::close(fds[0]);
    return out;
}

// LoadPicture's error number for a file, 0 when it loads.
int loadError(const QString& path) {
    try {
        loadPictureFile(path);
    } catch (const RuntimeError& e) {
        return e.number();
    }
    return 0;
}

// Loads in a child process, which must answer within the time allowed.
Outcome loadInChild(const QString& path, int allowedMs = 3000) {
    return inChild([&] { return loadError(path); }, allowedMs);
}

QByteArray bmp24(int w, int h, const std::function<quint32(int, int)>& colour) {
    Bmp b;
    b.width = w;
    b.height = h;
    b.pixels = rows(w, h, 24, false, colour);
    return b.bytes();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

quint32 crc32(const QByteArray& data) {
    quint32 c = 0xFFFFFFFFu;
    for (char ch : data) {
        c ^= uchar(ch);
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

// The start of a PNG file that declares a picture of w x h pixels (what a reader sees
// first), followed by a chunk of nothing.
QByteArray pngHeader(quint32 w, quint32 h) {
    auto big32 = [](QByteArray& b, quint32 v) {
        for (int i = 3; i >= 0; --i)
            b.append(char((v >> (8 * i)) & 0xFF));
    };
    QByteArray ihdr("IHDR");
    big32(ihdr, w);
    big32(ihdr, h);
    ihdr += QByteArray::fromHex("0802000000"); // 8-bit RGB
    QByteArray png = QByteArray::fromHex("89504E470D0A1A0A");
    big32(png, 13);
    png += ihdr;
    big32(png, crc32(ihdr));
    QByteArray idat("IDAT");
    idat += QByteArray(64, '\0');
    big32(png, 64);
    png += idat;
    big32(png, crc32(idat));
    return png;
}

// A bitmap of several megabytes, which the reader reads in more than one piece: 24, 8 or
// 32 bits per pixel, or RLE8 (1008).
QByteArray largeFile(int kind) {
    const int w = 2000, h = 1500;
    Bmp b;
    b.width = w;
    b.height = h;
    if (kind == 1008) {
        b.bits = 8;
        b.compression = 1;
        b.palette = somePalette(256);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; x += 250) { // absolute runs of 250 pixels
                b.pixels += QByteArray::fromHex("00FA");
                for (int i = 0; i < 250; ++i)
                    b.pixels += char((x + i + y) & 0xFF);
            }
            b.pixels += QByteArray::fromHex("0000");
        }
        b.pixels += QByteArray::fromHex("0001");
        return b.bytes();
    }
    b.bits = kind;
    if (kind == 8)
        b.palette = somePalette(256);
    b.pixels = rows(w, h, kind, false, [](int x, int y) { return quint32(x * 7 + y * 13); });
    return b.bytes();
}

// The reasons a check run as another user cannot tell anything.
enum { kCannotSwitch = -1000, kNotDenied = -1001, kNotReached = -1002 };

// In a child process: drops root's override of file permissions (by becoming the user
// nobody) unless the test does not run as root anyway, checks that the user then can
// read `reachable` but not `denied`, and returns LoadPicture's error number for `path`.
Outcome loadWithoutOverride(const QString& path, const QString& reachable, const QString& denied) {
    return inChild([&] {
        if (::geteuid() == 0) {
            const gid_t nogroup = 65534;
            if (::setgroups(1, &nogroup) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0)
                return int(kCannotSwitch);
        }
        int fd = ::open(QFile::encodeName(reachable).constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return int(kNotReached);
        ::close(fd);
        fd = ::open(QFile::encodeName(denied).constData(), O_RDONLY | O_NONBLOCK);
        if (fd >= 0) {
            ::close(fd);
            return int(kNotDenied);
        }
        return loadError(path);
    });
}

// --- Colour profiles, 64-bit pixels, fax rows --------------------------------------------

QRgb swapRedGreen(QRgb c) {
    return qRgba(qGreen(c), qRed(c), qBlue(c), qAlpha(c));
}

// Qt's own sRGB profile with its red and green colorants exchanged: pixels stored with
// red and green swapped show their true colours through it.
QByteArray swappedProfile() {
    QByteArray icc = QColorSpace(QColorSpace::SRgb).iccProfile();
    const int tags = int(qFromBigEndian<quint32>(icc.constData() + 128));
    int red = -1, green = -1;
    for (int i = 0; i < tags; ++i) {
        const int at = 132 + 12 * i;
        if (icc.mid(at, 4) == "rXYZ")
            red = at;
        if (icc.mid(at, 4) == "gXYZ")
            green = at;
    }
    if (red < 0 || green < 0)
        qFatal("no colorants in Qt's sRGB profile");
    for (int k = 4; k < 12; ++k) // the tags' offsets and sizes
        std::swap(icc[red + k], icc[green + k]);
    return icc;
}

void comparePixelsWithin(const QImage& got, const QImage& want, int tolerance) {
    keepExpected(got, want);
    QCOMPARE(got.size(), want.size());
    const QImage g = got.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < want.height(); ++y)
        for (int x = 0; x < want.width(); ++x) {
            const QRgb a = g.pixel(x, y), b = want.pixel(x, y);
            if (std::abs(qRed(a) - qRed(b)) > tolerance || std::abs(qGreen(a) - qGreen(b)) > tolerance ||
                std::abs(qBlue(a) - qBlue(b)) > tolerance || qAlpha(a) != qAlpha(b))
                QFAIL(qPrintable(QString("pixel %1,%2: %3 instead of %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(a, 8, 16, QChar('0'))
                                     .arg(b, 8, 16, QChar('0'))));
        }
}

// Linear light in signed 2.13 fixed point to an 8-bit sRGB value, as the sRGB standard
// defines the curve.
int srgbFrom213(int v) {
    const double l = std::clamp(v / 8192.0, 0.0, 1.0);
    const double s = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
    return int(std::lround(s * 255));
}

int alphaFrom213(int v) {
    return int(std::lround(std::clamp(v, 0, 8192) * 255 / 8192.0));
}

// A 64-bit bitmap: blue, green, red, alpha as signed 16-bit words, bottom-up.
QByteArray bmp64(int w, int h, const std::function<std::array<qint16, 4>(int, int)>& bgra,
                 int headerSize = 40) {
    Bmp b;
    b.headerSize = headerSize;
    b.width = w;
    b.height = h;
    b.bits = 64;
    for (int r = 0; r < h; ++r)
        for (int x = 0; x < w; ++x)
            for (qint16 v : bgra(x, h - 1 - r))
                put16(b.pixels, quint16(v));
    return b.bytes();
}

// The modified Huffman codes of T.4, as the test writes them: terminating codes by run,
// then make-up codes by run / 64 - 1, and the long make-up codes shared by both colours.
const char* const kWhiteTerm[64] = {
    "00110101", "000111",   "0111",     "1000",     "1011",     "1100",     "1110",     "1111",
    "10011",    "10100",    "00111",    "01000",    "001000",   "000011",   "110100",   "110101",
    "101010",   "101011",   "0100111",  "0001100",  "0001000",  "0010111",  "0000011",  "0000100",
    "0101000",  "0101011",  "0010011",  "0100100",  "0011000",  "00000010", "00000011", "00011010",
    "00011011", "00010010", "00010011", "00010100", "00010101", "00010110", "00010111", "00101000",
    "00101001", "00101010", "00101011", "00101100", "00101101", "00000100", "00000101", "00001010",
    "00001011", "01010010", "01010011", "01010100", "01010101", "00100100", "00100101", "01011000",
    "01011001", "01011010", "01011011", "01001010", "01001011", "00110010", "00110011", "00110100"};
const char* const kWhiteMakeUp[27] = {
    "11011",     "10010",     "010111",    "0110111",   "00110110",  "00110111",  "01100100",
    "01100101",  "01101000",  "01100111",  "011001100", "011001101", "011010010", "011010011",
    "011010100", "011010101", "011010110", "011010111", "011011000", "011011001", "011011010",
    "011011011", "010011000", "010011001", "010011010", "011000",    "010011011"};
const char* const kBlackTerm[64] = {
    "0000110111",   "010",          "11",           "10",           "011",          "0011",
    "0010",         "00011",        "000101",       "000100",       "0000100",      "0000101",
    "0000111",      "00000100",     "00000111",     "000011000",    "0000010111",   "0000011000",
    "0000001000",   "00001100111",  "00001101000",  "00001101100",  "00000110111",  "00000101000",
    "00000010111",  "00000011000",  "000011001010", "000011001011", "000011001100", "000011001101",
    "000001101000", "000001101001", "000001101010", "000001101011", "000011010010", "000011010011",
    "000011010100", "000011010101", "000011010110", "000011010111", "000001101100", "000001101101",
    "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111",
    "000000111000", "000000100111", "000000101000", "000001011000", "000001011001", "000000101011",
    "000000101100", "000001011010", "000001100110", "000001100111"};
const char* const kBlackMakeUp[27] = {
    "0000001111",    "000011001000",  "000011001001",  "000001011011",  "000000110011",  "000000110100",
    "000000110101",  "0000001101100", "0000001101101", "0000001001010", "0000001001011", "0000001001100",
    "0000001001101", "0000001110010", "0000001110011", "0000001110100", "0000001110101", "0000001110110",
    "0000001110111", "0000001010010", "0000001010011", "0000001010100", "0000001010101", "0000001011010",
    "0000001011011", "0000001100100", "0000001100101"};
const char* const kLongMakeUp[13] = {"00000001000",  "00000001100",  "00000001101",  "000000010010",
                                     "000000010011", "000000010100", "000000010101", "000000010110",
                                     "000000010111", "000000011100", "000000011101", "000000011110",
                                     "000000011111"};
const char* const kEol = "000000000001";

// The bits of one run of a colour: long make-up codes while more than 2560 + 63 are
// left, then one make-up code, then the terminating code.
QByteArray encodeRun(int run, bool black) {
    QByteArray bits;
    while (run > 2560 + 63) {
        bits += kLongMakeUp[12];
        run -= 2560;
    }
    if (run >= 64) {
        const int m = run / 64;
        bits += m <= 27 ? (black ? kBlackMakeUp : kWhiteMakeUp)[m - 1] : kLongMakeUp[m - 28];
        run -= m * 64;
    }
    return bits + (black ? kBlackTerm : kWhiteTerm)[run];
}

// A row of palette indexes (0 white, 1 black) as an end-of-line code and its runs.
QByteArray encodeRow(const QByteArray& row) {
    QByteArray bits = kEol;
    bool black = false;
    int x = 0;
    while (x < row.size()) {
        int n = 0;
        while (x + n < row.size() && (row[x + n] != 0) == black)
            ++n;
        bits += encodeRun(n, black);
        x += n;
        black = !black;
    }
    return bits;
}

// A string of '0' and '1', packed most significant bit first; the last byte padded.
QByteArray packBits(const QByteArray& bits) {
    QByteArray out((bits.size() + 7) / 8, '\0');
    for (int i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            out[i / 8] = char(uchar(out[i / 8]) | (0x80 >> (i % 8)));
    return out;
}

// An OS/2 2.x bitmap compressed with 1-D Huffman: a 64-byte header, compression 3, a
// palette of two colours.
Bmp huffmanBmp(int w, int h, const QByteArray& bits) {
    Bmp b;
    b.headerSize = 64;
    b.width = w;
    b.height = h;
    b.bits = 1;
    b.compression = 3;
    b.palette = {qRgb(250, 240, 230), qRgb(10, 20, 30)};
    b.pixels = packBits(bits);
    return b;
}

// A random RLE8 stream of runs, absolute runs, moves right, early line ends and moves
// down (a long one at each of `downRows`), ended early when `endRow` is reached; and the
// palette indexes it describes, top row first, 0 where it skips.
struct RleCase {
    QByteArray stream;
    QByteArray indexes;
};

RleCase randomRle8(int w, int h, quint32 seed, QList<int> downRows, int endRow) {
    QRandomGenerator rng(seed);
    RleCase c;
    c.indexes = QByteArray(qsizetype(w) * h, '\0');
    auto at = [&](int x, int y) -> char& { return c.indexes[qsizetype(h - 1 - y) * w + x]; };
    int x = 0, y = 0;
    while (y < h) {
        if (y == endRow) {
            c.stream += QByteArray::fromHex("0001");
            return c;
        }
        if (downRows.contains(y) && x < w - 10) {
            downRows.removeAll(y);
            const int dy = std::min(7, h - 1 - y), dx = 9;
            c.stream += QByteArray::fromHex("0002") + char(dx) + char(dy);
            x += dx;
            y += dy;
            continue;
        }
        const int left = w - x;
        const quint32 kind = rng.bounded(100u);
        if (left == 0 || kind < 2) { // end of line
            c.stream += QByteArray::fromHex("0000");
            x = 0;
            ++y;
        } else if (kind < 5 && left > 3) { // move right
            const int dx = 1 + int(rng.bounded(quint32(std::min(left - 1, 40))));
            c.stream += QByteArray::fromHex("0002") + char(dx) + '\0';
            x += dx;
        } else if (kind < 20 && left >= 3) { // absolute
            const int n = 3 + int(rng.bounded(quint32(std::min(left, 255) - 2)));
            c.stream += QByteArray::fromHex("00") + char(n);
            for (int i = 0; i < n; ++i) {
                const char v = char(1 + rng.bounded(255u));
                c.stream += v;
                at(x + i, y) = v;
            }
            if (n & 1)
                c.stream += '\0';
            x += n;
        } else { // a run
            const int n = 1 + int(rng.bounded(quint32(std::min(left, 255))));
            const char v = char(1 + rng.bounded(255u));
            c.stream += char(n);
            c.stream += v;
            for (int i = 0; i < n; ++i)
                at(x + i, y) = v;
            x += n;
        }
    }
    c.stream += QByteArray::fromHex("0001");
    return c;
}

// --- Icons --------------------------------------------------------------------------

// One image of an icon: its colours as a bitmap of the given depth, and the mask that
// makes some pixels transparent (for 32 bits, the alpha of the colours, when given).
struct IconImage {
    int width = 0, height = 0, bits = 4;
    std::function<QRgb(int, int)> colour; // for a palette depth: the palette entry's index in its red
    std::function<bool(int, int)> transparent;
    QList<QRgb> palette;

    QByteArray dib() const {
        Bmp b;
        b.width = width;
        b.height = 2 * height; // the colours and the mask
        b.bits = bits;
        b.palette = palette;
        b.pixels =
            rows(width, height, bits, false,
                 [this](int x, int y) {
                     const QRgb c = colour(x, y);
                     return bits <= 8 ? quint32(qRed(c)) : bits == 24 ? c & 0xFFFFFF : c;
                 }) +
            rows(width, height, 1, false, [this](int x, int y) { return transparent(x, y) ? 1u : 0u; });
        return b.bytes().mid(14); // without the bitmap file's header
    }
    // The picture as a viewer must show it.
    QImage expected(bool ownAlpha) const {
        return pattern(width, height, [&](int x, int y) {
            const QRgb c = bits <= 8 ? palette[qRed(colour(x, y))] : colour(x, y);
            if (ownAlpha)
                return c;
            return transparent(x, y) ? qRgba(qRed(c), qGreen(c), qBlue(c), 0) : (c | 0xFF000000);
        });
    }
};

QByteArray iconFile(const QList<QByteArray>& dibs, const QList<QSize>& sizes) {
    QByteArray f;
    put16(f, 0);
    put16(f, 1);
    put16(f, quint32(dibs.size()));
    quint32 at = 6 + 16 * quint32(dibs.size());
    for (int i = 0; i < dibs.size(); ++i) {
        f.append(char(sizes[i].width() & 0xFF));
        f.append(char(sizes[i].height() & 0xFF));
        f.append('\0'); // colours: not relied on
        f.append('\0');
        put16(f, 1);
        put16(f, 0);
        put32(f, quint32(dibs[i].size()));
        put32(f, at);
        at += quint32(dibs[i].size());
    }
    for (const QByteArray& d : dibs)
        f += d;
    return f;
}

// The images Qt's own icon reader makes of a file (it loads its plug-in to do so).
QList<QImage> qtIconImages(const QByteArray& file) {
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    QList<QImage> images;
    for (int i = 0; i < std::max(1, reader.imageCount()); ++i) {
        if (i > 0 && !reader.jumpToImage(i))
            break;
        const QImage img = reader.read();
        if (img.isNull())
            break;
        images << img;
    }
    return images;
}

// The same pixels as shown: transparent pixels alike whatever colour they hold.
void compareShown(const QImage& got, const QImage& want) {
    keepExpected(got, want);
    comparePixels(
        got.convertToFormat(QImage::Format_ARGB32_Premultiplied),
        want.convertToFormat(QImage::Format_ARGB32_Premultiplied).convertToFormat(QImage::Format_ARGB32));
}

bool iconPlugInLoaded() {
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libqico");
}

} // namespace

class BmpReaderTest : public QObject {
    Q_OBJECT

private slots:
    // First of all: before any other case lets Qt's readers load.
    void theProgramsIconsNeedNoPlugIn() {
        QVERIFY(!iconPlugInLoaded());
        const QStringList icons{"form1/icon.ico",    "form1/mouse.ico",  "buttons/copy.ico",
                                "buttons/print.ico", "buttons/help.ico", "buttons/exit.ico"};
        QList<Picture> ours;
        for (const QString& name : icons) {
            QFile f(QStringLiteral(KV_RESOURCES) + "/" + name);
            QVERIFY(f.open(QIODevice::ReadOnly));
            ours << decodePicture(f.readAll());
        }
        QVERIFY(!iconPlugInLoaded());
        // And they are the very images Qt's reader makes of them.
        for (int i = 0; i < icons.size(); ++i) {
            QFile f(QStringLiteral(KV_RESOURCES) + "/" + icons[i]);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QList<QImage> qt = qtIconImages(f.readAll());
            QVERIFY(ours[i].isIcon());
            QCOMPARE(ours[i].images().size(), qt.size());
            for (int j = 0; j < qt.size(); ++j)
                compareShown(ours[i].images()[j], qt[j]);
        }
        QVERIFY(iconPlugInLoaded()); // the check above can see the plug-in
    }

    void iconsOfEveryDepth_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("ownAlpha");
        for (int bits : {1, 4, 8, 24, 32})
            QTest::addRow("%d bits", bits) << bits << false;
        QTest::addRow("32 bits with alpha") << 32 << true;
    }
    void iconsOfEveryDepth() {
        QFETCH(int, bits);
        QFETCH(bool, ownAlpha);
        IconImage big;
        big.width = 13; // rows and mask rows padded
        big.height = 7;
        big.bits = bits;
        if (bits <= 8)
            big.palette = somePalette(1 << bits);
        big.colour = [&](int x, int y) {
            if (bits <= 8)
                return qRgb((x + y * 3) % (1 << bits), 0, 0);
            const QRgb c = rgb24(x, y);
            return ownAlpha ? qRgba(qRed(c), qGreen(c), qBlue(c), (x * 40 + y) & 0xFF) : c & 0xFFFFFF;
        };
        big.transparent = [](int x, int y) { return (x + y) % 3 == 0; };
        IconImage small = big;
        small.width = 2;
        small.height = 3;
        const QByteArray file = iconFile({big.dib(), small.dib()}, {QSize(13, 7), QSize(2, 3)});
        const Picture p = decodePicture(file);
        QVERIFY(p.isIcon());
        QCOMPARE(p.images().size(), 2);
        compareShown(p.images()[0], big.expected(ownAlpha));
        compareShown(p.images()[1], small.expected(ownAlpha));
        // Qt's reader agrees where it reads icons as Windows shows them; it ignores the
        // mask of 24-bit colours, and shows 32-bit ones whose alpha is zero everywhere as
        // wholly transparent, where Windows takes the mask.
        if (bits <= 8 || ownAlpha) {
            const QList<QImage> qt = qtIconImages(file);
            QCOMPARE(qt.size(), 2);
            compareShown(p.images()[0], qt[0]);
            compareShown(p.images()[1], qt[1]);
        }
    }

    void anIconOfThousandsOfBigImagesGivesThoseThatFit() {
        // 3000 entries, each the same 1024 x 1024 image: 12 GB of pixels, were all read.
        IconImage i;
        i.width = i.height = 1024;
        i.palette = somePalette(16);
        i.colour = [](int x, int y) { return qRgb((x ^ y) % 16, 0, 0); };
        i.transparent = [](int, int) { return false; };
        const QByteArray dib = i.dib();
        QByteArray f;
        put16(f, 0);
        put16(f, 1);
        put16(f, 3000);
        for (int e = 0; e < 3000; ++e) {
            f.append(QByteArray(4, '\0'));
            put16(f, 1);
            put16(f, 4);
            put32(f, quint32(dib.size()));
            put32(f, 6 + 16 * 3000);
        }
        f += dib;
        const Picture p = decodePicture(f);
        QCOMPARE(p.images().size(), 16); // 16 M pixels
        compareShown(p.image(), i.expected(false));
    }

    // Icons this reader leaves to Qt's: what the program shows of them is what Qt's reader
    // makes of them, or the invalid-picture error; never a crash (also under the
    // address sanitizer).
    void unusualAndBrokenIconsAsQtReadsThem_data() {
        QTest::addColumn<QByteArray>("file");
        IconImage i;
        i.width = 5;
        i.height = 4;
        i.palette = somePalette(16);
        i.colour = [](int x, int y) { return qRgb((x * y) % 16, 0, 0); };
        i.transparent = [](int x, int) { return x == 0; };
        const QByteArray good = iconFile({i.dib()}, {QSize(5, 4)});
        QTest::addRow("whole") << good;
        QTest::addRow("mask cut short") << good.left(good.size() - 3);
        QTest::addRow("no images") << good.left(4) + QByteArray(2, '\0');
        QTest::addRow("entries cut short") << good.left(14);
        QByteArray far = good;
        set32(far, 18, 0x7FFFFFF0); // the image's offset past the end
        QTest::addRow("offset past the end") << far;
        QByteArray odd = good;
        set32(odd, 22 + 8, 7); // a doubled height that is odd
        QTest::addRow("odd doubled height") << odd;
        QByteArray wide = good;
        set32(wide, 22 + 4, 0x40000000);
        QTest::addRow("absurd width") << wide;
        QByteArray rle = good;
        set32(rle, 22 + 16, 2); // compressed colours
        QTest::addRow("compressed") << rle;
        QByteArray png = iconFile({pngHeader(4, 4) + QByteArray(16, '\0')}, {QSize(4, 4)});
        QTest::addRow("a PNG image") << png;
    }
    void unusualAndBrokenIconsAsQtReadsThem() {
        QFETCH(QByteArray, file);
        const QList<QImage> qt = qtIconImages(file);
        try {
            const Picture p = decodePicture(file);
            QCOMPARE(p.images().size(), qt.size());
            for (int j = 0; j < qt.size(); ++j)
                compareShown(p.images()[j], qt[j]);
        } catch (const PictureError& e) {
            QVERIFY(qt.isEmpty());
            QCOMPARE(e.kind(), PictureError::Invalid);
        }
    }
    void rgb24InEveryHeader_data() {
        QTest::addColumn<int>("headerSize");
        QTest::addColumn<bool>("topDown");
        for (int hs : {12, 16, 40, 52, 56, 64, 108, 124})
            for (bool td : {false, true})
                if (hs != 12 || !td) // the OS/2 1.x header has no top-down form
                    QTest::addRow("header %d%s", hs, td ? " top-down" : "") << hs << td;
    }
    void rgb24InEveryHeader() {
        QFETCH(int, headerSize);
        QFETCH(bool, topDown);
        const int w = 13, h = 7; // rows padded from 39 to 40 bytes
        Bmp b;
        b.headerSize = headerSize;
        b.width = w;
        b.height = topDown ? -h : h;
        b.pixels = rows(w, h, 24, topDown, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        const QImage img = decode(b.bytes());
        QCOMPARE(img.format(), QImage::Format_BGR888); // kept at 24 bits, not widened
        comparePixels(img, pattern(w, h, rgb24));
    }

    void palettesOfEveryDepth_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("headerSize");
        for (int bits : {1, 2, 4, 8})
            for (int hs : {12, 40})
                QTest::addRow("%d bits, header %d", bits, hs) << bits << hs;
    }
    void palettesOfEveryDepth() {
        QFETCH(int, bits);
        QFETCH(int, headerSize);
        const int w = 19, h = 5, colours = 1 << bits;
        Bmp b;
        b.headerSize = headerSize;
        b.width = w;
        b.height = h;
        b.bits = bits;
        b.palette = somePalette(colours);
        auto index = [&](int x, int y) { return quint32((x * 7 + y * 3) % colours); };
        b.pixels = rows(w, h, bits, false, index);
        const QImage img = decode(b.bytes());
        QCOMPARE(img.format(), QImage::Format_Indexed8);
        comparePixels(img, pattern(w, h, [&](int x, int y) { return b.palette[int(index(x, y))]; }));
    }

    void shortAndLongPalettes() {
        // Three colours for an 8-bit picture: indexes past them show black.
        Bmp b;
        b.width = 6;
        b.height = 2;
        b.bits = 8;
        b.colorsUsed = 3;
        b.palette = somePalette(3);
        b.pixels = rows(6, 2, 8, false, [](int x, int) { return quint32(x); });
        comparePixels(decode(b.bytes()),
                      pattern(6, 2, [&](int x, int) { return x < 3 ? b.palette[x] : qRgb(0, 0, 0); }));
        // Twenty colours for a 4-bit picture: the extra ones are never used.
        Bmp l;
        l.width = 4;
        l.height = 1;
        l.bits = 4;
        l.colorsUsed = 20;
        l.palette = somePalette(20);
        l.pixels = rows(4, 1, 4, false, [](int x, int) { return quint32(15 - x); });
        comparePixels(decode(l.bytes()), pattern(4, 1, [&](int x, int) { return l.palette[15 - x]; }));
    }

    void rle8WithDeltasAndEarlyLineEnds() {
        // 8 x 4, bottom-up. Skipped pixels keep colour 0 of the palette.
        QByteArray s;
        s += QByteArray::fromHex("0305");              // row 0: 3 x colour 5
        s += QByteArray::fromHex("0003010203") + '\0'; // absolute 1 2 3, padded
        s += QByteArray::fromHex("0000");              // end of line (2 pixels skipped)
        s += QByteArray::fromHex("00020201");          // row 1: delta right 2, up 1 -> row 2, x 2
        s += QByteArray::fromHex("0207");              // 2 x colour 7 at x 2..3
        s += QByteArray::fromHex("0000");              // end of line
        s += QByteArray::fromHex("0809");              // row 3: 8 x colour 9
        s += QByteArray::fromHex("0001");              // end of bitmap
        Bmp b;
        b.width = 8;
        b.height = 4;
        b.bits = 8;
        b.compression = 1;
        b.palette = somePalette(256);
        b.pixels = s;
        const QList<QRgb> p = b.palette;
        const int expected[4][8] = {{9, 9, 9, 9, 9, 9, 9, 9},  // top row (row 3)
                                    {0, 0, 7, 7, 0, 0, 0, 0},  // row 2
                                    {0, 0, 0, 0, 0, 0, 0, 0},  // row 1, skipped
                                    {5, 5, 5, 1, 2, 3, 0, 0}}; // bottom row
        comparePixels(decode(b.bytes()), pattern(8, 4, [&](int x, int y) { return p[expected[y][x]]; }));
    }

    void rle4AndAnEarlyEnd() {
        QByteArray s;
        s += QByteArray::fromHex("05A1");     // 5 pixels alternating A 1 A 1 A
        s += QByteArray::fromHex("00033450"); // absolute 3 4 5, padded to a word
        s += QByteArray::fromHex("0000");     // end of line
        s += QByteArray::fromHex("0233");     // row 1: 2 x colour 3, then the data ends
        Bmp b;
        b.width = 8;
        b.height = 3;
        b.bits = 4;
        b.compression = 2;
        b.palette = somePalette(16);
        b.pixels = s;
        const int expected[3][8] = {
            {0, 0, 0, 0, 0, 0, 0, 0}, {3, 3, 0, 0, 0, 0, 0, 0}, {10, 1, 10, 1, 10, 3, 4, 5}};
        comparePixels(decode(b.bytes()),
                      pattern(8, 3, [&](int x, int y) { return b.palette[expected[y][x]]; }));
    }

    void rle24FromOs2() {
        QByteArray s = QByteArray::fromHex("02"
                                           "102030") +
                       QByteArray::fromHex("0003"
                                           "aabbcc"
                                           "aabbcc"
                                           "aabbcc") +
                       '\0' + QByteArray::fromHex("0001");
        Bmp b;
        b.headerSize = 64;
        b.width = 5;
        b.height = 1;
        b.bits = 24;
        b.compression = 4; // RLE24 in an OS/2 2.x header
        b.pixels = s;
        comparePixels(decode(b.bytes()), pattern(5, 1, [](int x, int) {
                          return x < 2 ? qRgb(0x30, 0x20, 0x10) : qRgb(0xcc, 0xbb, 0xaa);
                      }));
    }

    void sixteenBitsWithAnyMasks_data() {
        QTest::addColumn<quint32>("r");
        QTest::addColumn<quint32>("g");
        QTest::addColumn<quint32>("b");
        QTest::addColumn<int>("compression");
        QTest::addRow("5-5-5 plain") << 0x7C00u << 0x03E0u << 0x001Fu << 0;
        QTest::addRow("5-6-5") << 0xF800u << 0x07E0u << 0x001Fu << 3;
        QTest::addRow("2-3-1") << 0x0030u << 0x000Eu << 0x0001u << 3;
        QTest::addRow("4-4-4") << 0x0F00u << 0x00F0u << 0x000Fu << 3;
    }
    void sixteenBitsWithAnyMasks() {
        QFETCH(quint32, r);
        QFETCH(quint32, g);
        QFETCH(quint32, b);
        QFETCH(int, compression);
        const int w = 9, h = 4;
        auto value = [](int x, int y) { return quint32((x * 1237 + y * 4111) & 0xFFFF); };
        Bmp bmp;
        bmp.width = w;
        bmp.height = h;
        bmp.bits = 16;
        bmp.compression = quint32(compression);
        bmp.masksAfterHeader = compression == 3;
        bmp.masks[0] = r, bmp.masks[1] = g, bmp.masks[2] = b;
        bmp.pixels = rows(w, h, 16, false, value);
        auto channel = [](quint32 v, quint32 mask) {
            const int shift = std::countr_zero(mask);
            return scale((v & mask) >> shift, std::popcount(mask));
        };
        comparePixels(decode(bmp.bytes()), pattern(w, h, [&](int x, int y) {
                          const quint32 v = value(x, y);
                          return qRgb(channel(v, r), channel(v, g), channel(v, b));
                      }));
    }

    void tenBitChannelsWithTwoBitsOfAlpha() {
        // 10-10-10-2 in a version 4 header.
        const int w = 5, h = 3;
        auto value = [](int x, int y) {
            return quint32((x * 0x1234567u + y * 0x9ABCDEFu) & 0x3FFFFFFF) | quint32(x % 4) << 30;
        };
        Bmp b;
        b.headerSize = 108;
        b.width = w;
        b.height = h;
        b.bits = 32;
        b.compression = 3;
        b.masks[0] = 0x3FF00000, b.masks[1] = 0x000FFC00, b.masks[2] = 0x000003FF, b.masks[3] = 0xC0000000;
        b.pixels = rows(w, h, 32, false, value);
        const QImage img = decode(b.bytes());
        QVERIFY(img.hasAlphaChannel());
        comparePixels(img, pattern(w, h, [&](int x, int y) {
                          const quint32 v = value(x, y);
                          return qRgba(scale((v >> 20) & 0x3FF, 10), scale((v >> 10) & 0x3FF, 10),
                                       scale(v & 0x3FF, 10), scale(v >> 30, 2));
                      }));
    }

    void thirtyTwoBitsWithAndWithoutAlpha() {
        const int w = 4, h = 2;
        auto argb = [](int x, int y) {
            return quint32(((x * 60) << 24) | (x * 40 + y) << 16 | (y * 90) << 8 | 7);
        };
        // Plain 32-bit: the fourth byte is not alpha.
        Bmp plain;
        plain.width = w;
        plain.height = h;
        plain.bits = 32;
        plain.pixels = rows(w, h, 32, false, argb);
        comparePixels(decode(plain.bytes()),
                      pattern(w, h, [&](int x, int y) { return argb(x, y) | 0xFF000000u; }));
        // Version 5 with an alpha mask: transparency as written.
        Bmp alpha = plain;
        alpha.headerSize = 124;
        alpha.compression = 3;
        alpha.masks[0] = 0xFF0000, alpha.masks[1] = 0xFF00, alpha.masks[2] = 0xFF,
        alpha.masks[3] = 0xFF000000;
        comparePixels(decode(alpha.bytes()), pattern(w, h, [&](int x, int y) { return argb(x, y); }));
        // An alpha channel that is zero everywhere is ignored: the picture is opaque.
        Bmp zero = alpha;
        zero.pixels = rows(w, h, 32, false, [&](int x, int y) { return argb(x, y) & 0xFFFFFF; });
        const QImage img = decode(zero.bytes());
        QVERIFY(!img.hasAlphaChannel());
        comparePixels(img, pattern(w, h, [&](int x, int y) { return argb(x, y) | 0xFF000000u; }));
        // The same with alpha bit fields in a 40-byte header (four masks after it).
        Bmp ab = alpha;
        ab.headerSize = 40;
        ab.compression = 6;
        ab.masksAfterHeader = true;
        ab.maskCount = 4;
        comparePixels(decode(ab.bytes()), pattern(w, h, [&](int x, int y) { return argb(x, y); }));
    }

    void twentyFourBitsWithBitFields() {
        Bmp b;
        b.width = 3;
        b.height = 2;
        b.compression = 3;
        b.masksAfterHeader = true;
        b.masks[0] = 0x0000FF, b.masks[1] = 0x00FF00, b.masks[2] = 0xFF0000; // red in the first byte
        b.pixels = rows(3, 2, 24, false, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        comparePixels(decode(b.bytes()), pattern(3, 2, [](int x, int y) {
                          const QRgb c = rgb24(x, y);
                          return qRgb(qBlue(c), qGreen(c), qRed(c));
                      }));
    }

    void embeddedPngAndJpeg() {
        const QImage src = pattern(10, 6, rgb24).convertToFormat(QImage::Format_RGB32);
        for (const char* format : {"PNG", "JPEG"}) {
            QByteArray data;
            QBuffer buf(&data);
            buf.open(QIODevice::WriteOnly);
            QVERIFY(src.save(&buf, format, 100));
            Bmp b;
            b.width = 10;
            b.height = 6;
            b.bits = 0;
            b.compression = QByteArray(format) == "PNG" ? 5 : 4;
            b.pixels = data;
            QByteArray file = b.bytes();
            const QImage img = decode(file);
            QCOMPARE(img.size(), src.size());
            if (QByteArray(format) == "PNG")
                comparePixels(img, src.convertToFormat(QImage::Format_ARGB32));
            else // near the source, as JPEG keeps it
                keepExpected(img, src);
        }
    }

    // --- Colour profiles, 64-bit pixels, OS/2 Huffman, resolution ----------------------

    void embeddedProfileShowsTheTrueColours_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<bool>("fromFile");
        QTest::addRow("24 bits") << 24 << false;
        QTest::addRow("24 bits, read from a file") << 24 << true;
        QTest::addRow("8 bits") << 8 << false;
        QTest::addRow("8 bits, read from a file") << 8 << true;
        QTest::addRow("32 bits") << 32 << false;
        QTest::addRow("RLE8") << 1008 << false;
    }
    void embeddedProfileShowsTheTrueColours() {
        // Red and green stored swapped; the profile swaps them back.
        QFETCH(int, bits);
        QFETCH(bool, fromFile);
        const int w = 64, h = 48; // more than the first bytes the reader reads on their own
        Bmp b;
        b.headerSize = 124;
        b.width = w;
        b.height = h;
        b.colourSpace = 0x4D424544; // 'MBED'
        b.profile = swappedProfile();
        QImage truth;
        if (bits == 8 || bits == 1008) {
            const QList<QRgb> colours = somePalette(256);
            for (QRgb c : colours)
                b.palette << swapRedGreen(c);
            b.bits = 8;
            auto index = [](int x, int y) { return quint32((x * 7 + y * 3) % 256); };
            if (bits == 8) {
                b.pixels = rows(w, h, 8, false, index);
            } else {
                b.compression = 1;
                for (int r = 0; r < h; ++r) { // one absolute run of the whole row
                    b.pixels += QByteArray::fromHex("0040");
                    for (int x = 0; x < w; ++x)
                        b.pixels += char(index(x, h - 1 - r));
                    b.pixels += QByteArray::fromHex("0000");
                }
                b.pixels += QByteArray::fromHex("0001");
            }
            truth = pattern(w, h, [&](int x, int y) { return colours[int(index(x, y))]; });
        } else {
            b.bits = bits;
            if (bits == 32) {
                b.compression = 3;
                b.masks[0] = 0xFF0000, b.masks[1] = 0xFF00, b.masks[2] = 0xFF;
            }
            b.pixels =
                rows(w, h, bits, false, [](int x, int y) { return swapRedGreen(rgb24(x, y)) & 0xFFFFFF; });
            truth = pattern(w, h, rgb24);
        }
        QImage img;
        if (fromFile) {
            QTemporaryDir dir;
            QVERIFY(writeFile(dir.path() + "/perfil.bmp", b.bytes()));
            img = loadPictureFile(dir.path() + "/perfil.bmp").image();
        } else {
            img = decode(b.bytes());
        }
        comparePixelsWithin(img, truth, 1);
    }

    void badProfilesLeaveThePixelsAsStored() {
        const int w = 9, h = 4;
        Bmp b;
        b.headerSize = 124;
        b.width = w;
        b.height = h;
        b.colourSpace = 0x4D424544;
        b.pixels = rows(w, h, 24, false, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        const QImage stored = pattern(w, h, rgb24);
        auto check = [&](const Bmp& bmp, const char* what) {
            QImage img;
            try {
                img = decode(bmp.bytes());
            } catch (const PictureError& e) {
                QFAIL(qPrintable(QString("%1: %2").arg(what, e.what())));
            }
            comparePixels(img, stored);
        };
        b.profile = QByteArray(300, 'x');
        check(b, "not a profile");
        b.profile = swappedProfile().left(120);
        check(b, "a profile cut short");
        b.profile = swappedProfile();
        b.profileOffset = 124 + b.pixels.size() + 14; // counted from the file's start
        check(b, "a profile past the file's end");
        b.profileOffset = 0x7FFFFFFF;
        check(b, "a profile far past the end");
        b.profileOffset = -1;
        b.colourSpace = 0x73524742; // 'sRGB': no profile is read
        check(b, "a profile the colour space does not name");
        b.colourSpace = 0x4D424544;
        b.headerSize = 108; // a version 4 header has no profile
        check(b, "a version 4 header");
    }

    void linkedProfilesAreNeverOpened() {
        // The linked file is a FIFO: opening it to read would wait for a writer. Whether
        // anything opens it, a watch on it tells.
        QTemporaryDir dir;
        const QString fifo = dir.path() + "/perfil.icc";
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(fifo).constData(), IN_OPEN | IN_ACCESS) >= 0);
        const int w = 64, h = 48;
        Bmp b;
        b.headerSize = 124;
        b.width = w;
        b.height = h;
        b.colourSpace = 0x4C494E4B; // 'LINK'
        b.profile = QFile::encodeName(fifo) + '\0';
        b.pixels = rows(w, h, 24, false, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        const QString path = dir.path() + "/enlazada.bmp";
        QVERIFY(writeFile(path, b.bytes()));
        const Outcome o = inChild(
            [&] {
                try {
                    const QImage img = loadPictureFile(path).image();
                    return img.size() == QSize(w, h) && img.pixel(5, 7) == rgb24(5, 7) ? 0 : -1;
                } catch (const RuntimeError& e) {
                    return e.number();
                }
            },
            2000);
        QVERIFY2(o.kind == Outcome::Returned && o.value == 0, qPrintable(o.describe()));
        comparePixels(decode(b.bytes()), pattern(w, h, rgb24));
        char events[4096];
        QVERIFY2(::read(watch, events, sizeof events) < 0 && errno == EAGAIN, "the linked file was opened");
        // And the watch does see an opening.
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        ::close(fd);
        QVERIFY(::read(watch, events, sizeof events) > 0);
    }

    void sixtyFourBitPixels() {
        // Colours in linear light shown through the sRGB curve, alpha scaled; both clamped.
        const qint16 values[] = {-32768, -100, 0,    1,    25,   26,   100,   1000,
                                 2048,   4096, 6000, 8191, 8192, 8193, 12000, 32767};
        const qint16 alphas[] = {-5, 0, 1, 16, 17, 4096, 8000, 8192, 9000};
        const int w = 11, h = 5;
        auto bgra = [&](int x, int y) {
            return std::array<qint16, 4>{values[(x * 3 + y * 5) % 16], values[(x * 5 + y * 7 + 3) % 16],
                                         values[(x * 7 + y * 3 + 9) % 16], alphas[(x + y * 2) % 9]};
        };
        const QImage img = decode(bmp64(w, h, bgra));
        QVERIFY(img.hasAlphaChannel());
        comparePixels(img, pattern(w, h, [&](int x, int y) {
                          const auto p = bgra(x, y);
                          return qRgba(srgbFrom213(p[2]), srgbFrom213(p[1]), srgbFrom213(p[0]),
                                       alphaFrom213(p[3]));
                      }));
        // Values known beforehand: half of the light is 188 in sRGB; 1.0 is 255.
        const QImage known = decode(bmp64(
            1, 1,
            [](int, int) {
                return std::array<qint16, 4>{0, 8192, 4096, 8192};
            },
            124));
        QCOMPARE(known.pixel(0, 0), qRgba(188, 255, 0, 255));
        // An alpha channel that is zero everywhere is ignored: the picture is opaque.
        const QImage opaque = decode(bmp64(w, h, [&](int x, int y) {
            auto p = bgra(x, y);
            p[3] = 0;
            return p;
        }));
        QVERIFY(!opaque.hasAlphaChannel());
        comparePixels(opaque, pattern(w, h, [&](int x, int y) {
                          const auto p = bgra(x, y);
                          return qRgb(srgbFrom213(p[2]), srgbFrom213(p[1]), srgbFrom213(p[0]));
                      }));
    }

    void os2HuffmanRowsEncodedByHand() {
        // Two rows of 100 pixels, written out from the code tables, bottom row first:
        //   white 70 (make-up 64, terminating 6), black 30;
        //   white 0, black 65 (make-up 64, terminating 1), white 35;
        // then the six end-of-line codes that end a fax page.
        const QByteArray bits = QByteArray("000000000001") + "11011" + "1110" + "000001101000" +
                                "000000000001" + "00110101" + "0000001111" + "010" + "00010100" +
                                QByteArray("000000000001").repeated(6);
        const Bmp b = huffmanBmp(100, 2, bits);
        comparePixels(decode(b.bytes()), pattern(100, 2, [&](int x, int y) {
                          const bool black = y == 1 ? x >= 70 : x < 65;
                          return b.palette[black ? 1 : 0];
                      }));
    }

    void os2HuffmanFromTheTestsEncoder() {
        // Rows of every kind of run, long ones with the long make-up codes too.
        const int w = 3000, h = 12;
        QRandomGenerator rng(13);
        QList<QByteArray> image(h); // top row first
        for (int y = 0; y < h; ++y) {
            QByteArray row(w, '\0');
            int x = 0;
            bool black = y % 3 == 1; // some rows start black
            while (x < w) {
                const int run = y == 0 ? 2900 : y == 1 ? 2700 : int(rng.bounded(y < 6 ? 70u : 1800u)) + 1;
                for (int i = 0; i < run && x < w; ++i, ++x)
                    row[x] = char(black);
                black = !black;
            }
            image[y] = row;
        }
        QByteArray bits;
        for (int r = 0; r < h; ++r)
            bits += encodeRow(image[h - 1 - r]);
        bits += QByteArray(kEol).repeated(6);
        const Bmp b = huffmanBmp(w, h, bits);
        comparePixels(decode(b.bytes()),
                      pattern(w, h, [&](int x, int y) { return b.palette[image[y][x] ? 1 : 0]; }));
        // Broken streams: a row longer than the width, a code that does not exist. A stream
        // that ends early gives the rows read, the rest white.
        QCOMPARE(errorOf(huffmanBmp(10, 1, QByteArray(kEol) + kWhiteTerm[12]).bytes()),
                 PictureError::Invalid);
        QCOMPARE(errorOf(huffmanBmp(10, 1, QByteArray(kEol) + "000000001111").bytes()),
                 PictureError::Invalid);
        QCOMPARE(errorOf(huffmanBmp(10, 1, QByteArray(kEol) + kWhiteTerm[5] + kBlackTerm[9]).bytes()),
                 PictureError::Invalid);
        const QByteArray oneRow = encodeRow(QByteArray("\0\0\1\1\1\0\0\0\0\1", 10));
        const Bmp early = huffmanBmp(10, 3, oneRow + kEol + kWhiteTerm[2] + kBlackTerm[3]);
        const int earlyRows[3][10] = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, // never reached
                                      {0, 0, 1, 1, 1, 0, 0, 0, 0, 0}, // ends after its second run
                                      {0, 0, 1, 1, 1, 0, 0, 0, 0, 1}};
        comparePixels(decode(early.bytes()),
                      pattern(10, 3, [&](int x, int y) { return early.palette[earlyRows[y][x]]; }));
        // Only in an OS/2 header, and only at one bit per pixel.
        Bmp windows = huffmanBmp(100, 2, bits);
        windows.headerSize = 40; // compression 3 is bit fields there
        QCOMPARE(errorOf(windows.bytes()), PictureError::Invalid);
        Bmp deeper = huffmanBmp(100, 2, bits);
        deeper.bits = 4;
        deeper.palette = somePalette(16);
        QCOMPARE(errorOf(deeper.bytes()), PictureError::Invalid);
    }

    void nonSquarePixelsAreShownAsStored() {
        // Twice as many pixels per metre down as across: still one pixel for one pixel.
        const int w = 13, h = 7;
        Bmp b;
        b.width = w;
        b.height = h;
        b.xPerMetre = 2835;
        b.yPerMetre = 5670;
        b.pixels = rows(w, h, 24, false, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        const QImage img = decode(b.bytes());
        QCOMPARE(img.size(), QSize(w, h));
        QCOMPARE(img.dotsPerMeterX(), img.dotsPerMeterY());
        comparePixels(img, pattern(w, h, rgb24));
    }

    void largePicturesComeWhole_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addRow("24 bits, 35 MB") << 24 << 2900 << 4000;
        QTest::addRow("24 bits top-down, 12 MB") << -24 << 2000 << 2000;
        QTest::addRow("8 bits, 36 MB") << 8 << 6000 << 6000;
        QTest::addRow("32 bits, 10 MB") << 32 << 2000 << 1200;
        QTest::addRow("64 bits, 12 MB") << 64 << 1000 << 1500;
    }
    void largePicturesComeWhole() {
        // Large enough to be read and converted on two threads, into memory of their own:
        // every row in its place.
        QFETCH(int, bits);
        QFETCH(int, w);
        QFETCH(int, h);
        const bool topDown = bits < 0;
        bits = std::abs(bits);
        Bmp b;
        b.width = w;
        b.height = topDown ? -h : h;
        b.bits = bits;
        if (bits == 8)
            b.palette = somePalette(256);
        QByteArray expected; // the picture's rows as they must come out, top first
        if (bits == 64) {
            b.pixels.reserve(qsizetype(w) * h * 8);
            for (int r = 0; r < h; ++r)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c)
                        put16(b.pixels, quint16((x * 3 + r * 7 + c * 2000) % 9000));
        } else {
            b.pixels = rows(w, h, bits, topDown,
                            [](int x, int y) { return quint32(x * 0x01030507u + y * 0x0B0D0F11u); });
        }
        const QByteArray file = b.bytes();
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.path() + "/grande.bmp", file));
        const QImage img = loadPictureFile(dir.path() + "/grande.bmp").image();
        QCOMPARE(img.size(), QSize(w, h));
        const int stride = ((w * bits + 31) / 32) * 4;
        const char* pixels = file.constData() + file.size() - b.pixels.size();
        for (int y = 0; y < h; ++y) {
            const char* src = pixels + qsizetype(topDown ? y : h - 1 - y) * stride;
            const uchar* line = img.constScanLine(y);
            bool same = true;
            if (bits <= 24) {
                same = std::memcmp(line, src, size_t(w * bits / 8)) == 0;
            } else {
                for (int x = 0; x < w && same; ++x) {
                    const QRgb got = reinterpret_cast<const QRgb*>(line)[x];
                    QRgb want;
                    if (bits == 32) {
                        want = qFromLittleEndian<quint32>(src + 4 * x) | 0xFF000000u;
                    } else {
                        auto word = [&](int c) {
                            return int(qFromLittleEndian<qint16>(src + 8 * x + 2 * c));
                        };
                        want = qRgba(srgbFrom213(word(2)), srgbFrom213(word(1)), srgbFrom213(word(0)),
                                     alphaFrom213(word(3)));
                    }
                    same = got == want;
                }
            }
            if (!same)
                QFAIL(qPrintable(QString("row %1 differs").arg(y)));
        }
    }

    void largeRle8OnTwoCores_data() {
        QTest::addColumn<int>("endRow");
        QTest::addColumn<bool>("givenBackFirst");
        QTest::addRow("whole, fresh memory") << -1 << false;
        QTest::addRow("whole, memory given back") << -1 << true;
        QTest::addRow("ended early, memory given back") << 1500 << true;
        QTest::addRow("ended before the split row") << 700 << true;
    }
    void largeRle8OnTwoCores() {
        // 6 MB of RLE8, decoded on two cores, one of them from a row three fifths of the
        // way up; moves down cross that row and others. In memory another picture of the
        // same size gave back (all of it white), the skipped pixels still come out as 0.
        QFETCH(int, endRow);
        QFETCH(bool, givenBackFirst);
        const int w = 2999, h = 2000; // rows of 3,000 bytes, one of them padding
        const uchar* was = nullptr;
        if (givenBackFirst) {
            Bmp white;
            white.width = 1000;
            white.height = h;
            white.pixels = QByteArray(3000 * h, '\xFF');
            was = decode(white.bytes()).constBits();
        }
        const RleCase c = randomRle8(w, h, 77, {300, 1197, 1198, 1199, 1201, 1990}, endRow);
        Bmp b;
        b.width = w;
        b.height = h;
        b.bits = 8;
        b.compression = 1;
        b.palette = somePalette(256);
        b.pixels = c.stream;
        const QImage img = decode(b.bytes());
        if (givenBackFirst)
            QCOMPARE(img.constBits(), was); // the same memory, not cleared beforehand
        QCOMPARE(img.size(), QSize(w, h));
        for (int y = 0; y < h; ++y) {
            const uchar* line = img.constScanLine(y);
            if (std::memcmp(line, c.indexes.constData() + qsizetype(y) * w, size_t(w)) != 0)
                QFAIL(qPrintable(QString("row %1 differs").arg(y)));
            QCOMPARE(line[w], uchar(0)); // the padding too
        }
    }

    void huffmanInMemoryGivenBack() {
        // A fax picture that ends after two rows, in the memory of a white picture given
        // back: the rows it does not reach are white (index 0).
        const int w = 4000, h = 1500;
        Bmp white;
        white.width = w / 3;
        white.height = h;
        white.pixels = QByteArray(qsizetype(w) * h, '\xFF');
        const uchar* was = decode(white.bytes()).constBits();
        const QByteArray row = encodeRow(QByteArray(1000, '\1') + QByteArray(3000, '\0'));
        const Bmp b = huffmanBmp(w, h, row + row);
        const QImage img = decode(b.bytes());
        QCOMPARE(img.constBits(), was);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; x += 7)
                if (img.constScanLine(y)[x] != (y >= h - 2 && x < 1000 ? 1 : 0))
                    QFAIL(qPrintable(QString("pixel %1,%2").arg(x).arg(y)));
    }

    void malformedFilesAreInvalidPictures() {
        Bmp good;
        good.width = 5;
        good.height = 3;
        good.bits = 8;
        good.palette = somePalette(256);
        good.pixels = rows(5, 3, 8, false, [](int x, int y) { return quint32(x + y); });
        const QByteArray file = good.bytes();
        QCOMPARE(errorOf(file), std::nullopt);
        // Cut at every header field boundary, inside the palette and inside the pixels.
        for (int cut :
             {0, 1, 2, 6, 10, 14, 18, 22, 26, 28, 30, 34, 38, 42, 46, 50, 54, 300, 1078, 1080, 1090})
            QVERIFY2(errorOf(file.left(cut)) == PictureError::Invalid,
                     qPrintable(QString("cut at %1").arg(cut)));
        auto with = [&](int at, quint32 v) {
            QByteArray f = file;
            set32(f, at, v);
            return errorOf(f);
        };
        QCOMPARE(with(14, 8), PictureError::Invalid); // header size
        QCOMPARE(with(14, 200), PictureError::Invalid);
        QCOMPARE(with(18, 0), PictureError::Invalid);           // width 0
        QCOMPARE(with(18, quint32(-5)), PictureError::Invalid); // negative width
        QCOMPARE(with(22, 0), PictureError::Invalid);           // height 0
        QCOMPARE(with(22, 0x80000000u), PictureError::Invalid);
        QCOMPARE(with(18, 100000), PictureError::Invalid);      // far more rows than the file holds
        QCOMPARE(with(46, 0xFFFFFFF0u), PictureError::Invalid); // a palette that runs off the file
        QCOMPARE(with(10, 1u << 30), PictureError::Invalid);    // pixels past the end
        for (quint32 bits : {0u, 3u, 7u, 48u, 65535u}) {
            QByteArray f = file;
            f[28] = char(bits & 0xFF);
            f[29] = char(bits >> 8);
            QVERIFY2(errorOf(f) == PictureError::Invalid, qPrintable(QString("%1 bits").arg(bits)));
        }
        QCOMPARE(with(30, 3), PictureError::Invalid);  // bit fields on a palette picture
        QCOMPARE(with(30, 99), PictureError::Invalid); // unknown compression
        QByteArray notBm = file;
        notBm[0] = 'X';
        QCOMPARE(errorOf(notBm), PictureError::Invalid);
    }

    void rleStreamsThatOverrun() {
        auto rle8 = [](const QByteArray& stream) {
            Bmp b;
            b.width = 4;
            b.height = 2;
            b.bits = 8;
            b.compression = 1;
            b.palette = somePalette(4);
            b.pixels = stream;
            return errorOf(b.bytes());
        };
        QCOMPARE(rle8(QByteArray::fromHex("04010001")), std::nullopt);
        QCOMPARE(rle8(QByteArray::fromHex("05010001")), PictureError::Invalid); // a run past the row's end
        QCOMPARE(rle8(QByteArray::fromHex("000501020304050001")),
                 PictureError::Invalid); // absolute past the row's end
        QCOMPARE(rle8(QByteArray::fromHex("000209000001")),
                 PictureError::Invalid); // delta past the right edge
        QCOMPARE(rle8(QByteArray::fromHex("000200050001")), PictureError::Invalid);     // delta past the top
        QCOMPARE(rle8(QByteArray::fromHex("0000000000000401")), PictureError::Invalid); // lines past the top
        QCOMPARE(rle8(QByteArray::fromHex("000401")), PictureError::Invalid); // absolute data cut off
    }

    void hugeHeadersGetOutOfMemory() {
        Bmp b;
        b.width = (1 << 24) + 1;
        b.height = 1;
        b.bits = 8;
        b.compression = 1;
        b.palette = somePalette(2);
        b.pixels = QByteArray::fromHex("0001");
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        // More than the memory a picture may take.
        setPictureMemoryLimit(1 << 20);
        b.width = 2000;
        b.height = 2000;
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        setPictureMemoryLimit(0);
        QCOMPARE(errorOf(b.bytes()), std::nullopt); // 4 MB is fine otherwise
    }

    // --- The picture file as LoadPicture reads it ---------------------------------------

    void specialFilesAreRefusedAtOnce() {
        QTemporaryDir dir;
        const QString fifo = dir.path() + "/tuberia.bmp";
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        const QString socketFile = dir.path() + "/enchufe.bmp";
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(s >= 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray socketName = QFile::encodeName(socketFile);
        QVERIFY(socketName.size() < qsizetype(sizeof addr.sun_path));
        std::memcpy(addr.sun_path, socketName.constData(), size_t(socketName.size()));
        QCOMPARE(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        QCOMPARE(::listen(s, 1), 0);
        const QString zero = dir.path() + "/cero.bmp"; // reads without end
        QVERIFY(QFile::link("/dev/zero", zero));
        const QString folder = dir.path() + "/carpeta.bmp";
        QVERIFY(QDir().mkdir(folder));
        // Opening a device can do things of its own, and opening a FIFO lets a writer that
        // waits for a reader go on: none of them is even opened, as a watch on the FIFO and
        // on a device node of the test's own (where it may make one) tells.
        QStringList special{fifo, socketFile, zero, folder};
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(::inotify_add_watch(watch, QFile::encodeName(fifo).constData(), IN_OPEN) >= 0);
        const QString device = dir.path() + "/dispositivo.bmp"; // as /dev/zero
        if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0644, makedev(1, 5)) == 0) {
            QVERIFY(::inotify_add_watch(watch, QFile::encodeName(device).constData(), IN_OPEN) >= 0);
            special << device;
        } else {
            qInfo("no device node of the test's own (%s): that part is left out", std::strerror(errno));
        }
        char events[4096];
        for (const QString& path : special) {
            const Outcome o = loadInChild(path, 2000);
            QVERIFY2(o.kind == Outcome::Returned && o.value == 75, qPrintable(path + ": " + o.describe()));
        }
        QVERIFY2(::read(watch, events, sizeof events) < 0 && errno == EAGAIN, "a special file was opened");
        ::close(s);
        // The same files still answer once something is there to read: a FIFO with a writer.
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
        QVERIFY(writer >= 0);
        QVERIFY(::write(writer, "BM", 2) == 2);
        QCOMPARE(loadInChild(fifo, 2000).value, 75);
        ::close(writer);
    }

    void errorNumbersSayWhatHappened() {
        QTemporaryDir dir;
        const QString good = dir.path() + "/figura.bmp";
        QVERIFY(writeFile(good, bmp24(3, 2, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; })));
        QCOMPARE(loadError(good), 0);
        QCOMPARE(loadError(dir.path() + "/falta.bmp"), 53);         // no such file
        QCOMPARE(loadError(dir.path() + "/no-hay/figura.bmp"), 76); // no such folder
        QCOMPARE(loadError(good + "/figura.bmp"), 76);              // a file on the way
        QCOMPARE(loadError(dir.path() + "/no-hay/otra/figura.bmp"), 76);
        QVERIFY(QFile::link(dir.path() + "/nada", dir.path() + "/rota.bmp"));
        QCOMPARE(loadError(dir.path() + "/rota.bmp"), 53); // a link to nothing
    }

    void permissionDeniedIsSaidSo() {
        QTemporaryDir dir(QDir::tempPath() + "/kv-permisos-XXXXXX");
        const QByteArray bytes = bmp24(3, 2, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        const QString open = dir.path() + "/abierta.bmp", secret = dir.path() + "/secreta.bmp";
        const QString closed = dir.path() + "/cerrada", hidden = dir.path() + "/privada";
        QVERIFY(writeFile(open, bytes) && writeFile(secret, bytes));
        QVERIFY(QDir().mkdir(closed) && QDir().mkdir(hidden));
        QVERIFY(writeFile(closed + "/dentro.bmp", bytes) && writeFile(hidden + "/dentro.bmp", bytes));
        auto mode = [](const QString& path, mode_t m) {
            return ::chmod(QFile::encodeName(path).constData(), m);
        };
        QCOMPARE(mode(dir.path(), 0755), 0);
        QCOMPARE(mode(open, 0644), 0);
        QCOMPARE(mode(secret, 0600), 0);
        QCOMPARE(mode(closed, 0644), 0); // may be listed, not entered
        QCOMPARE(mode(hidden, 0600), 0);
        const Outcome control = loadWithoutOverride(open, open, secret);
        const auto restore = qScopeGuard([&] {
            mode(closed, 0755);
            mode(hidden, 0755);
        });
        if (control.kind == Outcome::Returned && control.value == kCannotSwitch)
            QSKIP("cannot become the user nobody to drop the override of file permissions");
        if (control.kind == Outcome::Returned && control.value == kNotDenied)
            QSKIP("file permissions are not enforced here even without root's override");
        if (control.kind == Outcome::Returned && control.value == kNotReached)
            QSKIP("the temporary folder cannot be reached by the user nobody");
        QVERIFY2(control.kind == Outcome::Returned && control.value == 0, qPrintable(control.describe()));
        for (const QString& path : {secret, closed + "/dentro.bmp", hidden + "/dentro.bmp"}) {
            const Outcome o = loadWithoutOverride(path, open, path);
            QVERIFY2(o.kind == Outcome::Returned && o.value == 70, qPrintable(path + ": " + o.describe()));
        }
        // A missing file in a folder that cannot be entered: whether it is there cannot be
        // known, and the error says why.
        const Outcome missing = loadWithoutOverride(closed + "/falta.bmp", open, closed + "/dentro.bmp");
        QVERIFY2(missing.kind == Outcome::Returned && missing.value == 70, qPrintable(missing.describe()));
    }

    void absurdSizesAreRefusedBeforeAnyAllocation() {
        // 1,080 bytes that declare 100,000 x 100,000 pixels of RLE8: ten gigabytes.
        Bmp b;
        b.width = 100000;
        b.height = 100000;
        b.bits = 8;
        b.compression = 1;
        b.palette = somePalette(256);
        b.pixels = QByteArray::fromHex("0001");
        QCOMPARE(b.bytes().size(), 1080);
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        // Whatever memory the machine has.
        setPictureMemoryLimit(std::size_t(1) << 42);
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        QCOMPARE(kMaxPicturePixels, quint64(16384) * 16384);
        b.width = 16384; // the largest picture taken, all of it skipped
        b.height = 16384;
        QCOMPARE(errorOf(b.bytes()), std::nullopt);
        b.width = 16385;
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        b.width = 1 << 24; // the widest picture taken, as many pixels in 16 rows
        b.height = 16;
        QCOMPARE(errorOf(b.bytes()), std::nullopt);
        b.height = 17;
        QCOMPARE(errorOf(b.bytes()), PictureError::TooLarge);
        // As a click and the copy command read the file.
        QTemporaryDir dir;
        b.width = b.height = 100000;
        QVERIFY(writeFile(dir.path() + "/enorme.bmp", b.bytes()));
        QCOMPARE(loadError(dir.path() + "/enorme.bmp"), 7);
        // Pictures in other formats: a PNG that declares 20,000 x 20,000 pixels, on its own
        // and inside a bitmap.
        const QByteArray png = pngHeader(20000, 20000);
        QVERIFY(writeFile(dir.path() + "/enorme.png", png));
        QCOMPARE(loadError(dir.path() + "/enorme.png"), 7);
        Bmp e;
        e.width = 20000;
        e.height = 20000;
        e.bits = 0;
        e.compression = 5;
        e.pixels = png;
        QCOMPARE(errorOf(e.bytes()), PictureError::TooLarge);
        setPictureMemoryLimit(0);
        // Decoded whole, the header alone decides: 94 bytes that declare 16,384 x 16,385
        // pixels of one bit, and the same header with the file padded past what is read
        // ahead of the rows. From a file such a bitmap is shown by its rows, which the
        // file does not hold: it is no valid picture.
        Bmp one;
        one.width = 16384;
        one.height = 16385;
        one.bits = 1;
        one.palette = somePalette(2);
        one.pixels = QByteArray(32, '\x55');
        QByteArray small = one.bytes();
        QCOMPARE(small.size(), 94);
        QByteArray padded = small + QByteArray(4097 - small.size(), '\0');
        for (const QByteArray& file : {small, padded}) {
            QCOMPARE(errorOf(file), PictureError::TooLarge);
            QVERIFY(writeFile(dir.path() + "/alto.bmp", file));
            QCOMPARE(loadError(dir.path() + "/alto.bmp"), 481);
        }
    }

    void aFileCutShortWhileReadIsAnInvalidPicture_data() {
        QTest::addColumn<int>("bits");
        QTest::addRow("24 bits") << 24;
        QTest::addRow("8 bits") << 8;
        QTest::addRow("32 bits") << 32;
        QTest::addRow("RLE8") << 1008;
    }
    void aFileCutShortWhileReadIsAnInvalidPicture() {
        // When the reader comes to the second half of the file, the file is cut to its
        // first rows: the next read finds nothing more. Without the hook's call the reader
        // never sees the change, so it must have been called.
        QFETCH(int, bits);
        QTemporaryDir dir;
        const QString path = dir.path() + "/cambia.bmp";
        const QByteArray file = largeFile(bits);
        QVERIFY(writeFile(path, file));
        const Outcome o = inChild(
            [&] {
                std::atomic<bool> cut{false};
                setPictureReadHook([&](std::uint64_t offset) {
                    if (offset >= std::uint64_t(file.size() / 2) && !cut.exchange(true))
                        (void)::truncate(QFile::encodeName(path).constData(), 8192);
                });
                const int e = loadError(path);
                return cut ? e : -1;
            },
            20000);
        QVERIFY2(o.kind == Outcome::Returned, qPrintable(o.describe()));
        if (bits == 1008) // what was read up to the cut: a picture or an invalid one
            QVERIFY2(o.value == 0 || o.value == 481, qPrintable(o.describe()));
        else
            QVERIFY2(o.value == 481, qPrintable(o.describe()));
    }

    void aFileRewrittenWhileReadIsNeverMixed() {
        // The second half of the rows is rewritten in another colour as the reader comes to
        // it: the whole picture is refused as invalid, never made of rows of both.
        QTemporaryDir dir;
        const QString path = dir.path() + "/cambia.bmp";
        const int w = 2000, h = 1500;
        const QByteArray file = bmp24(w, h, [](int, int) { return 0x102030u; });
        const QByteArray other = bmp24(w, h, [](int, int) { return 0xA0B0C0u; });
        QVERIFY(writeFile(path, file));
        const Outcome o = inChild(
            [&] {
                std::atomic<bool> done{false};
                setPictureReadHook([&](std::uint64_t offset) {
                    if (offset >= std::uint64_t(file.size() / 2) && !done.exchange(true)) {
                        QFile f(path);
                        if (f.open(QIODevice::ReadWrite) && f.seek(file.size() / 2))
                            f.write(other.mid(file.size() / 2));
                    }
                });
                QImage img;
                try {
                    img = loadPictureFile(path).image();
                } catch (const RuntimeError& e) { // at the click: its corner changed
                    return done ? e.number() : -1;
                } catch (const PictureError& e) { // in the background, for the whole
                    return done && e.kind() == PictureError::Invalid ? 481 : -1;
                }
                if (!done || img.size() != QSize(w, h))
                    return -1;
                int seen = 0; // which colours the rows have: 1 the old, 2 the new
                for (int y = 0; y < h; ++y) {
                    const QRgb c = img.pixel(w / 2, y);
                    seen |= c == qRgb(0x10, 0x20, 0x30) ? 1 : c == qRgb(0xA0, 0xB0, 0xC0) ? 2 : 4;
                }
                return seen;
            },
            20000);
        QVERIFY2(o.kind == Outcome::Returned && o.value == 481, qPrintable(o.describe()));
    }

    void randomDamageNeverCrashes() {
        // Mutated copies of valid files either decode or raise a run-time error.
        QList<QByteArray> seeds;
        Bmp a;
        a.width = 7;
        a.height = 5;
        a.pixels = rows(7, 5, 24, false, [](int x, int y) { return rgb24(x, y) & 0xFFFFFF; });
        seeds << a.bytes();
        Bmp r;
        r.width = 8;
        r.height = 4;
        r.bits = 8;
        r.compression = 1;
        r.palette = somePalette(16);
        r.pixels =
            QByteArray::fromHex("03050003010203000000020201020700000809") + QByteArray::fromHex("0001");
        seeds << r.bytes();
        Bmp f;
        f.headerSize = 124;
        f.width = 4;
        f.height = 3;
        f.bits = 16;
        f.compression = 3;
        f.masks[0] = 0xF800, f.masks[1] = 0x7E0, f.masks[2] = 0x1F;
        f.pixels = rows(4, 3, 16, false, [](int x, int y) { return quint32(x * 999 + y); });
        seeds << f.bytes();
        setPictureMemoryLimit(64 << 20);
        QRandomGenerator rng(500);
        int decoded = 0;
        for (int i = 0; i < 6000; ++i) {
            QByteArray m = seeds[i % seeds.size()];
            const int edits = 1 + int(rng.bounded(6));
            for (int e = 0; e < edits; ++e) {
                const int at = int(rng.bounded(quint32(m.size())));
                m[at] = char(rng.bounded(256));
            }
            if (rng.bounded(4) == 0)
                m.truncate(int(rng.bounded(quint32(m.size()))));
            try {
                decode(m);
                ++decoded;
            } catch (const PictureError& e) {
                QVERIFY(e.kind() == PictureError::Invalid || e.kind() == PictureError::TooLarge);
            }
        }
        setPictureMemoryLimit(0);
        QVERIFY(decoded > 0);
    }
};

QTEST_GUILESS_MAIN(BmpReaderTest)
#include "test_bmp_reader.moc"
