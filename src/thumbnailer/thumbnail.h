#pragma once
#include <QByteArray>
#include <QImage>
#include <QSize>
#include <cstddef>
#include <sys/stat.h>

// Thumbnails of bitmap files for a desktop's file manager, made by the figure reader of
// the program itself, so a thumbnail shows what the program shows: every variant it
// reads, in its true colours, transparent where the figure is.
//
// Each thumbnail pixel is the average of the figure pixels it covers, as the figure
// window shrinks: first the averages of blocks of 2^k × 2^k pixels (summed straight from
// the file for a bitmap of plain rows, which is never read whole), then the area
// average of those to the size asked for.
//
// Memory stays bounded whatever the file claims: a figure decoded whole may take at
// most kThumbnailPictureBytes, the rows read at once at most kThumbnailReadBytes a
// thread, and sides beyond kThumbnailMaxSide are refused.
namespace kv {

inline constexpr std::size_t kThumbnailPictureBytes = std::size_t(64) << 20;
inline constexpr std::size_t kThumbnailReadBytes = std::size_t(16) << 20;
inline constexpr int kThumbnailMaxSide = 1 << 16;
// The largest thumbnail made (a desktop asks for 128 to 1024).
inline constexpr int kThumbnailMostPixels = 4096;

// The thumbnail's size for a figure: its longer side `longest`, the other in proportion
// (at least 1); a figure no larger than that keeps its own size.
QSize thumbnailSize(QSize figure, int longest);

// The thumbnail of the bitmap file open as `fd` (a regular file in the state `st`, at
// `path`, by which it may be opened again): non-premultiplied ARGB32 when the figure
// has transparency, else RGB32. Raises PictureError for a file that is not a figure it
// takes, changed while read, or too large.
QImage thumbnailOf(int fd, const QByteArray& path, const struct stat& st, int longest);

// The thumbnail of the file at `input` (opened without waiting, never a FIFO or a
// device) written as a PNG to `output`: through a new file beside it, renamed over
// `output` once whole. On failure no file is left; the reason goes in `error`.
bool writeThumbnail(const QByteArray& input, const QByteArray& output, int longest, QByteArray& error);

} // namespace kv
