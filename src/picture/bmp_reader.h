#pragma once
#include <QImage>
#include <cstddef>
#include <cstdint>
#include <functional>

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

// Called before every read from a picture file with the offset about to be read, on
// whichever thread reads; lets a test change the file in the middle of a load. Reads
// come in pieces of at most kReadPiece bytes. Empty restores none.
inline constexpr std::size_t kReadPiece = std::size_t(1) << 20;
void setPictureReadHook(std::function<void(std::uint64_t offset)> hook);

} // namespace kv
