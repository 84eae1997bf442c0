#pragma once
#include <QImage>
#include <QList>
#include <QRect>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// The bitmap reader behind LoadPicture: every BMP variant in use (OS/2 1.x and 2.x and
// Windows headers up to version 5, top-down and bottom-up, 1 to 32 and 64 bits per
// pixel, RLE4, RLE8 and RLE24, OS/2 1-D Huffman, bit-field masks of any width, embedded
// PNG and JPEG). An embedded colour profile is applied: the picture comes in sRGB. A
// linked profile (a file name) is never opened. Pixels are shown as stored, one for one,
// whatever the resolution across and down.
//
// The picture keeps a form that needs no widening where one exists: 24-bit rows stay
// 24-bit, palette pictures stay 8-bit with their colour table.
//
// Any file that is not a sound bitmap raises PictureError::Invalid; a picture larger
// than the program takes raises PictureError::TooLarge before anything is allocated
// for it. It never reads outside the bytes it is given, and its work is
// bounded by the picture's size.
//
// Large pictures are read and decoded on two threads, both finished before a function
// returns; their memory is aligned for huge pages, and the memory of the last large
// picture let go serves the next one that fits it.
namespace kv {

// Decodes a whole bitmap file held in memory.
QImage decodeBmp(const std::uint8_t* data, std::size_t size);

// Reads and decodes the bitmap file open as `fd`, a regular file of `size` bytes. It is
// read with plain reads into memory, never through a mapping, so a file that shrinks or
// is rewritten meanwhile gives PictureError::Invalid or the picture as read. Rows of
// 8- and 24-bit pictures are read straight into the picture's own rows.
QImage readBmpFile(int fd, std::uint64_t size);

// The rows of a bitmap file whose pixels lie in the file as plain rows that each become
// opaque pixels by themselves: uncompressed at 1 to 32 bits per pixel, or bit fields of
// 16, 24 or 32 bits without alpha, with no colour profile. Nearly every bitmap made is
// one. Such a picture is shown without reading all of it: any rectangle of it can be read
// from the file on its own, at the cost of the rows it crosses.
class BmpRows {
public:
    // The layout of the bitmap file open as `fd`, a regular file of `size` bytes, from its
    // header; none for a bitmap whose pixels are not plain rows (which is then decoded
    // whole). A header that is not a sound bitmap, or a file too short for all its rows,
    // raises the invalid-picture error; a side beyond kMaxShownSide the out-of-memory one.
    static std::optional<BmpRows> open(int fd, std::uint64_t size);

    int width() const { return width_; }
    int height() const { return height_; }
    // The bits per pixel of the picture a whole reading gives.
    int wholeDepth() const { return bits_ <= 8 ? 8 : bits_ == 24 && !fields_ ? 24 : 32; }
    // The picture a whole reading gives, allocated: the form readBmpFile gives for the same
    // file (8-bit with its colour table up to 8 bits per pixel, 24-bit for 24, 32-bit for the
    // rest). Raises the out-of-memory error beyond the program's limits.
    QImage allocateWhole() const;
    // Reads picture rows [first, end), top row 0, into the same rows of a picture from
    // allocateWhole.
    void readWholeRows(int fd, QImage& whole, int first, int end) const;
    // Reads the rectangle `r` of the picture as opaque 32-bit pixels into `out`, a picture
    // of r's size in Format_RGB32.
    void readRegion(int fd, const QRect& r, QImage& out) const;
    // Reads one pixel in `step` across, from column `first` on, of picture row `y`, as
    // opaque 32-bit pixels into `out` (`count` pixels): a sampled row.
    // `buffer` is the caller's, kept from row to row.
    void readSampledRow(int fd, int y, double first, double step, int count, QRgb* out,
                        std::vector<std::uint8_t>& buffer) const;
    // The same in two steps: the bytes of row `y` that its samples take, read into
    // `buffer`; then the samples made from those bytes alone, on any thread.
    void readSampledBytes(int fd, int y, double first, double step, int count,
                          std::vector<std::uint8_t>& buffer) const;
    void samplesFromBytes(const std::uint8_t* bytes, double first, double step, int count, QRgb* out) const;
    // Adds the red, green and blue of picture rows [first, first + count) into `sums`,
    // three per block of 2^k columns (column x into block x >> k), reading the rows
    // together into `buffer`: the sums that averages of blocks are made from, without
    // making pixels first.
    void addRows(int fd, int first, int count, int k, std::uint32_t* sums,
                 std::vector<std::uint8_t>& buffer) const;

private:
    std::uint64_t rowOffset(int y) const;
    // The pixels of columns [x0, x1) of one stored row, `bytes` holding the row from the
    // byte that holds column x0 on.
    void convert(const std::uint8_t* bytes, int x0, int x1, QRgb* out) const;
    int width_ = 0, height_ = 0;
    bool topDown_ = false;
    int bits_ = 0;
    bool fields_ = false; // masks given in the file
    std::uint64_t pixelsAt_ = 0;
    std::size_t stride_ = 0;
    QList<QRgb> palette_;
    std::uint32_t masks_[3] = {0, 0, 0};
};

// Adds a row of `width` 24-bit pixels (blue, green, red bytes) into the red, green and
// blue sums of its blocks of 2^k pixels, three a block (the last block may be narrower).
void addBgrRow(const std::uint8_t* row, int width, int k, std::uint32_t* sums);

// The widest and highest picture shown from its rows (BmpRows): a row of it is read at
// once, and a whole row of 32-bit pixels must fit a picture's row.
inline constexpr int kMaxShownSide = 1 << 20;

// Whether the bytes start like a bitmap file ("BM").
bool looksLikeBmp(const std::uint8_t* data, std::size_t size);

// The largest picture the program takes, whatever the machine's memory: a quarter of a
// gigapixel (16,384 x 16,384 pixels; at most 1 GiB decoded), no side above 2^24.
inline constexpr std::uint64_t kMaxPicturePixels = std::uint64_t(1) << 28;
inline constexpr std::int64_t kMaxPictureSide = std::int64_t(1) << 24;

// Raises PictureError::TooLarge for a picture of that size beyond those limits, or
// whose pixels, at the given depth, would take more than pictureMemoryLimit().
void checkPictureSize(std::int64_t width, std::int64_t height, int bitsPerPixel);

// The most bytes one decoded picture may take: half of the machine's memory, unless
// set otherwise (0 restores that).
std::size_t pictureMemoryLimit();
void setPictureMemoryLimit(std::size_t bytes);

// While an object of this lives, pictures read on the thread that made it are read for
// the program's start, beside Qt's own start on the other core: on this thread alone, and
// a picture of 2 MiB or more in memory of its own, in whole huge pages. Fresh small pages
// cost a fault each, and on a virtual machine that backs them with small pages of its own
// the copy into them is slow too: reading a 16-megapixel figure from the file cache took
// some 120 to 190 ms of processor time in small pages against some 10 to 20 ms in huge
// ones (now and then more, when the host must back them afresh), which leaves the start's
// core to Qt.
class ReadingBesideStart {
public:
    ReadingBesideStart();
    ~ReadingBesideStart();
    ReadingBesideStart(const ReadingBesideStart&) = delete;
    ReadingBesideStart& operator=(const ReadingBesideStart&) = delete;
};

// Reads `length` bytes of the file at `offset` into `to`, in pieces; fewer only where
// the file ends. A failing read raises PictureError::ReadFailed with its errno.
std::size_t readFileAt(int fd, std::uint64_t offset, void* to, std::size_t length);

// While one lives on a thread, that thread's reads (readFileAt) take turns on the lock
// with every other thread's that holds the same one: the reads of one drive made one at
// a time, a drive that stops answering holds one thread in the system, the others wait
// on the lock, where they can be let go.
class ReadsOneAtATime {
public:
    explicit ReadsOneAtATime(std::mutex& lock);
    ~ReadsOneAtATime();
    ReadsOneAtATime(const ReadsOneAtATime&) = delete;
    ReadsOneAtATime& operator=(const ReadsOneAtATime&) = delete;

private:
    std::mutex* before_;
};

// Called before every read from a picture file with the offset about to be read, on
// whichever thread reads; lets a test change the file in the middle of a load. Reads
// come in pieces of at most kReadPiece bytes. Empty restores none.
inline constexpr std::size_t kReadPiece = std::size_t(1) << 20;
void setPictureReadHook(std::function<void(std::uint64_t offset)> hook);

} // namespace kv
