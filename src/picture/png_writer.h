#pragma once
#include <QByteArray>
#include <QImage>
#include <atomic>

// The PNG that the clipboard offers beside the picture, made as fast as these machines
// allow: every row with the Sub filter (each byte less the same colour's byte of the
// pixel before it), then deflate at level 1 with zlib's run-length strategy (Z_RLE,
// zlib's own advice for PNG rows): it looks for repeats of the byte just before only,
// which is what a filtered row holds (long runs of zeros where a picture is flat), and
// on the grain of a photograph it is twice as fast as the plain level 1 and its output
// a tenth smaller (16 MP photograph-like: 0.8 s on one core and 28.6 MB, against 1.4 s
// and 31.8 MB), because the short matches level 1 finds in grain cost more to code
// than the bytes they stand for.
//
// The rows are cut into bands, and each band is deflated on its own by whichever of
// the threads (one a core) is free, into IDAT chunks of a few megabytes that the
// thread closes itself, its CRC included. A band ends on a byte boundary (a sync
// flush) and the next starts a fresh deflate stream, so the bands one after the other
// are one valid zlib stream; its checksum is put together from the bands' own
// (adler32_combine). libpng writes the header chunks; the chunks of all bands are then
// laid end to end in the result, each piece let go as soon as it is copied.
//
// Pixels are kept exactly: 24-bit pictures become RGB, 32-bit ones RGB or RGBA, 8-bit
// palette pictures a palette PNG, grey ones grey. Any other form (16 bits a channel,
// one bit a pixel, premultiplied alpha, a colour space other than sRGB) is left to
// Qt's own PNG writer, on the same thread.
namespace kv {

// Encodes the image. Gives an empty array when `cancelled` became true on the way (it
// is looked at between rows) or when the image is empty. `threads` 0: one per core.
QByteArray encodePng(const QImage& image, const std::atomic<bool>& cancelled, int threads = 0);

} // namespace kv
