#pragma once
#include "picture/bmp_reader.h"
#include "picture/picture.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

// A figure as it is shown: its size and top-left corner known at once, the rest of its
// pixels read as they are asked for. A bitmap whose pixels lie in its file as plain rows
// (BmpRows) is read by the parts that are looked at; an ordinary one is also read whole
// in the background, at a priority that leaves the processor to everything else. Any
// other picture is held whole in memory from the start.
//
// A file that changes or shrinks while it is read gives no more pixels: what was read
// before stays, nothing is ever mixed from two states of the file, and nothing is read
// past the end of the file as it was opened.
namespace kv {

class Figure : public std::enable_shared_from_this<Figure> {
public:
    // The side of the corner read when a figure is opened: it covers every picture box
    // of the program.
    static constexpr int kCornerSide = 256;
    // Figures up to this many bytes decoded are ordinary: read whole in the background.
    // A larger one is read whole only when the whole is asked for, and not kept.
    static constexpr std::uint64_t kOrdinaryBytes = std::uint64_t(256) << 20;

    // A figure read by its rows from the file open as `fd`, at `path`, whose state when
    // opened was `opened`. Reads the corner now. The file is not kept open (a drive with
    // a file open cannot be taken away, a folder that holds one is not gone when removed):
    // it is opened again by its path for each reading, and read only while it is still
    // the same file, unchanged. `readWholeAhead` false: an ordinary figure too is read
    // only by the parts asked for (a program that wants its averages alone).
    static std::shared_ptr<Figure> fromRows(int fd, const QByteArray& path, BmpRows rows,
                                            const FileState& opened, bool readWholeAhead = true);
    // A figure held whole.
    static std::shared_ptr<Figure> fromImage(QImage image);
    ~Figure();
    Figure(const Figure&) = delete;
    Figure& operator=(const Figure&) = delete;

    QSize size() const { return size_; }
    // Whether its pixels are read from its file as they are asked for.
    bool readByRows() const { return rows_.has_value(); }
    // The top-left corner, up to kCornerSide square: at once, never waiting.
    QImage corner() const { return corner_; }
    // The whole picture, in the form the reader gives. An ordinary figure's background
    // reading is waited for; a larger one is read now (the out-of-memory error beyond
    // what the program takes). A file changed or cut short since it was opened gives the
    // invalid-picture error; a failing read its own.
    QImage whole() const;
    // Whether the whole picture is in memory now.
    bool wholeReady() const;
    // The rectangle `r` (within the figure) as premultiplied 32-bit pixels; none when the
    // file changed since it was opened or could not be read.
    std::optional<QImage> region(const QRect& r) const;
    // A picture of `to` pixels, each the figure's pixel at the centre of the part it
    // stands for: the rows it needs are read, not the figure. None as for region().
    std::optional<QImage> sampled(QSize to) const;
    // Rows [first, first + count) of the figure halved k times, each pixel the average of
    // a block of 2^k × 2^k figure pixels (of fewer at the right and bottom edges), as
    // premultiplied 32-bit pixels into `out`, `bytesPerLine` apart. A figure read by its
    // rows is summed straight from its file. False as for region().
    bool averagedRows(int k, int first, int count, uchar* out, std::size_t bytesPerLine) const;
    // Whether reading stopped because the file changed or failed.
    bool failed() const { return failed_.load(); }

private:
    Figure() = default;
    void readWholeInBackground();
    // The file, opened again, when it is still the one that was opened, unchanged; else
    // none, and the figure is marked failed.
    struct OpenFile {
        int fd = -1;
        OpenFile() = default;
        explicit OpenFile(int f) : fd(f) {}
        OpenFile(OpenFile&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
        OpenFile& operator=(OpenFile&&) = delete;
        ~OpenFile();
        explicit operator bool() const { return fd >= 0; }
    };
    OpenFile reopen() const;
    // Writes the averages of the sums of a row of blocks (three a block) of `rows` rows.
    void writeAverages(const std::uint32_t* sums, int k, int rows, QRgb* line) const;
    // Whether the open file is still as it was opened; marks the figure failed if not.
    bool unchanged(const OpenFile& file) const;
    // Runs read(fd) on the file opened again; whether it read the file as it was opened
    // (a failing read, or a file changed meanwhile, marks the figure failed).
    template <class Read> bool fromFile(Read&& read) const;

    QSize size_;
    QImage corner_;
    std::optional<BmpRows> rows_;
    QByteArray path_;
    FileState opened_{};
    mutable std::atomic<bool> failed_{false};

    // The whole picture: given at once for a figure held whole, else by the background.
    mutable std::mutex mutex_;
    mutable std::condition_variable done_;
    bool backgroundRunning_ = false;
    QImage whole_;
    std::exception_ptr wholeError_;
};

} // namespace kv
