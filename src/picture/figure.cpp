#include "picture/figure.h"

#include "picture/figure_renderer.h"
#include "picture/picture_error.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kv {

namespace {

// A thread, for the life of the program, that reads figures whole while nothing else
// wants the processor: the system runs it only on a core that would otherwise idle, so
// that neither the program's start nor a busy machine's other work waits for it. Once
// somebody waits for its reading (a copy), it reads at the ordinary priority until done.
class IdleReader {
public:
    // The reader of the figures of one device (file system): a read that hangs on a
    // lost share holds up that share's figures alone. Readers never end (a thread stuck
    // in the kernel cannot be called back). A process forked from this one has none of
    // their threads: it makes readers of its own.
    static IdleReader& of(dev_t device) {
        static std::mutex making;
        static auto* readers = new std::map<dev_t, IdleReader*>;
        std::lock_guard lock(making);
        IdleReader*& r = (*readers)[device];
        if (!r || r->process_ != ::getpid())
            r = new IdleReader;
        return *r;
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
    }
    // While somebody waits for a reading, the thread reads at the ordinary priority.
    void startWaiting() {
        ++waiting_;
        const sched_param none{};
        pthread_setschedparam(thread_, SCHED_OTHER, &none);
    }
    void stopWaiting() { --waiting_; }

private:
    IdleReader() {
        std::thread worker([this] { run(); });
        thread_ = worker.native_handle();
        worker.detach();
    }
    void run() {
        for (;;) {
            const sched_param none{};
            pthread_setschedparam(pthread_self(), waiting_.load() > 0 ? SCHED_OTHER : SCHED_IDLE, &none);
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !jobs_.empty(); });
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    pthread_t thread_{};
    std::atomic<int> waiting_{0};
    const pid_t process_ = ::getpid();
};

std::uint64_t wholeBytes(const QSize& size, int depth) {
    const std::uint64_t stride =
        (static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(depth) + 31) / 32 * 4;
    return stride * static_cast<std::uint64_t>(size.height());
}

int wholeDepth(const BmpRows& rows) {
    return rows.wholeDepth();
}

QImage premultiplied(QImage image) {
    if (image.format() == QImage::Format_ARGB32_Premultiplied || image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The whole picture with the resolution pictures made now have (it may have been made
// before the program had a screen).
QImage withCurrentResolution(QImage image) {
    const QImage now(1, 1, QImage::Format_RGB32);
    if (image.dotsPerMeterX() != now.dotsPerMeterX() || image.dotsPerMeterY() != now.dotsPerMeterY()) {
        image.setDotsPerMeterX(now.dotsPerMeterX());
        image.setDotsPerMeterY(now.dotsPerMeterY());
    }
    return image;
}

// Adds the red, green and blue of row y of an opaque picture (24-bit, 8-bit with its
// colours, or 32-bit) into `sums`, three per block of 2^k columns.
void addImageRow(const QImage& image, int y, int k, std::uint32_t* sums) {
    const uchar* in = image.constScanLine(y);
    const int w = image.width();
    if (image.format() == QImage::Format_BGR888) { // blue, green, red
        addBgrRow(in, w, k, sums);
        return;
    }
    const QList<QRgb> table = image.format() == QImage::Format_Indexed8 ? image.colorTable() : QList<QRgb>();
    for (int x = 0; x < w; ++x) {
        QRgb p;
        if (image.format() == QImage::Format_Indexed8)
            p = in[x] < table.size() ? table[in[x]] : qRgb(0, 0, 0);
        else
            p = reinterpret_cast<const QRgb*>(in)[x];
        std::uint32_t* s = sums + static_cast<std::size_t>(x >> k) * 3;
        s[0] += qRed(p), s[1] += qGreen(p), s[2] += qBlue(p);
    }
}

// Runs read(y) for each of [0, count) on this thread, one after the other, and make(y)
// for each one read on a second thread, when there is one to be had: the file is read
// by this thread alone, so that a file system that stops answering holds up this thread
// and no other, while the work on what was read goes on beside the reading. Up to
// `ahead` are read before they are made (read(y) and make(y - ahead) may share what
// they use); the second thread is woken for a few at a time. A failure to read is
// raised here.
template <class Read, class Make> void readHereMakeThere(int count, int ahead, Read&& read, Make&& make) {
    std::mutex mutex;
    std::condition_variable changed;
    const int batch = std::max(1, ahead / 2);
    int readCount = 0, madeCount = 0;
    bool failed = false, reading = false; // reading: this thread waits for rows made
    std::thread second;
    if (count > 1) {
        try {
            second = std::thread([&] {
                for (int y = 0; y < count; ++y) {
                    {
                        std::unique_lock lock(mutex);
                        changed.wait(lock, [&] { return readCount > y || failed; });
                        if (readCount <= y)
                            return;
                    }
                    make(y);
                    bool wake = false;
                    {
                        std::lock_guard lock(mutex);
                        madeCount = y + 1;
                        wake = reading;
                    }
                    if (wake)
                        changed.notify_all();
                }
            });
        } catch (...) {
        }
    }
    if (!second.joinable()) {
        for (int y = 0; y < count; ++y) {
            read(y);
            make(y);
        }
        return;
    }
    try {
        for (int y = 0; y < count; ++y) {
            if (y >= ahead) {
                std::unique_lock lock(mutex);
                reading = true;
                changed.wait(lock, [&] { return madeCount > y - ahead; });
                reading = false;
            }
            read(y);
            {
                std::lock_guard lock(mutex);
                readCount = y + 1;
            }
            if ((y + 1) % batch == 0 || y + 1 == count)
                changed.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex);
            failed = true;
        }
        changed.notify_all();
        second.join();
        throw;
    }
    second.join();
}

// A picture of `to` pixels picked from a whole picture in memory: of each row it takes,
// only the pixels it takes are made 32-bit, in the whole picture's own form.
template <class RowOf> QImage sampledFrom(const QImage& whole, QSize to, double stepX, RowOf&& rowOf) {
    QImage out(to, whole.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (out.isNull())
        return out;
    std::vector<int> columns(static_cast<std::size_t>(to.width()));
    for (int x = 0; x < to.width(); ++x)
        columns[static_cast<std::size_t>(x)] =
            std::min(whole.width() - 1, static_cast<int>((x + 0.5) * stepX));
    const QList<QRgb> table = whole.colorTable();
    const QImage::Format format = whole.format();
    for (int y = 0; y < to.height(); ++y) {
        const uchar* in = whole.constScanLine(rowOf(y));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < to.width(); ++x) {
            const int c = columns[static_cast<std::size_t>(x)];
            switch (format) {
            case QImage::Format_BGR888: // blue, green, red, as the file holds them
                line[x] = qRgb(in[c * 3 + 2], in[c * 3 + 1], in[c * 3]);
                break;
            case QImage::Format_Indexed8:
                line[x] = in[c] < table.size() ? qPremultiply(table[in[c]]) : qRgb(0, 0, 0);
                break;
            case QImage::Format_RGB32:
            case QImage::Format_ARGB32_Premultiplied:
                line[x] = reinterpret_cast<const QRgb*>(in)[c];
                break;
            case QImage::Format_ARGB32:
                line[x] = qPremultiply(reinterpret_cast<const QRgb*>(in)[c]);
                break;
            default:
                line[x] = qPremultiply(whole.pixel(c, rowOf(y)));
            }
        }
    }
    return out;
}

} // namespace

std::shared_ptr<Figure> Figure::fromRows(int fd, const QByteArray& path, BmpRows rows,
                                         const FileState& opened, bool readWholeAhead) {
    std::shared_ptr<Figure> figure(new Figure);
    figure->size_ = QSize(rows.width(), rows.height());
    figure->path_ = path;
    figure->opened_ = opened;
    const QRect corner = QRect(QPoint(0, 0), figure->size_.boundedTo(QSize(kCornerSide, kCornerSide)));
    QImage image(corner.size(), QImage::Format_RGB32);
    if (image.isNull())
        throw PictureError(PictureError::TooLarge);
    rows.readRegion(fd, corner, image);
    figure->corner_ = std::move(image);
    figure->rows_ = std::move(rows);
    if (readWholeAhead && wholeBytes(figure->size_, wholeDepth(*figure->rows_)) <= kOrdinaryBytes)
        figure->readWholeInBackground();
    return figure;
}

std::shared_ptr<Figure> Figure::fromImage(QImage image) {
    std::shared_ptr<Figure> figure(new Figure);
    figure->size_ = image.size();
    figure->corner_ =
        image.copy(QRect(QPoint(0, 0), figure->size_.boundedTo(QSize(kCornerSide, kCornerSide))));
    figure->whole_ = std::move(image);
    return figure;
}

Figure::~Figure() = default;

Figure::OpenFile::~OpenFile() {
    if (fd >= 0)
        ::close(fd);
}

namespace {
// The lock by which the figures' reads of one drive (its device) take turns.
std::mutex& readsOn(dev_t device) {
    static std::mutex guard;
    static std::map<dev_t, std::unique_ptr<std::mutex>> locks;
    const std::lock_guard lock(guard);
    std::unique_ptr<std::mutex>& found = locks[device];
    if (!found)
        found = std::make_unique<std::mutex>();
    return *found;
}
} // namespace

Figure::OpenFile Figure::reopen() const {
    if (failed_.load())
        return {};
    int fd;
    {
        const std::lock_guard turn(readsOn(opened_.device));
        fd = ::open(path_.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    OpenFile file(fd);
    if (!file || !unchanged(file)) {
        failed_ = true;
        return {};
    }
    return file;
}

template <class Read> bool Figure::fromFile(Read&& read) const {
    const OpenFile file = reopen();
    if (!file)
        return false;
    // Threads that read this drive's figures read in turn (what they do with the bytes,
    // side by side): a drive that stops answering holds one of them.
    const ReadsOneAtATime inTurn(readsOn(opened_.device));
    try {
        read(file.fd);
    } catch (...) {
        failed_ = true;
        return false;
    }
    return unchanged(file);
}

bool Figure::unchanged(const OpenFile& file) const {
    struct stat st;
    if (failed_.load())
        return false;
    int status;
    {
        const std::lock_guard turn(readsOn(opened_.device));
        status = ::fstat(file.fd, &st);
    }
    if (status != 0 || !(FileState::of(st) == opened_)) {
        failed_ = true;
        return false;
    }
    return true;
}

void Figure::readWholeInBackground() {
    {
        std::lock_guard lock(mutex_);
        backgroundRunning_ = true;
    }
    // The job holds the figure only while it reads a band: a figure let go meanwhile
    // (another one chosen) stops its reading at the next band.
    std::weak_ptr<Figure> weak = weak_from_this();
    IdleReader::of(opened_.device).post([weak] {
        constexpr int kBand = 256;
        QImage whole;
        std::exception_ptr error;
        int y = 0;
        for (;;) {
            const std::shared_ptr<Figure> figure = weak.lock();
            if (!figure)
                return;
            try {
                // Open for a band at a time, never longer.
                const OpenFile file = figure->reopen();
                if (!file)
                    throw PictureError(PictureError::Invalid); // no longer the file opened
                if (whole.isNull())
                    whole = figure->rows_->allocateWhole();
                const int end = std::min(y + kBand, figure->size_.height());
                {
                    const ReadsOneAtATime inTurn(readsOn(figure->opened_.device));
                    figure->rows_->readWholeRows(file.fd, whole, y, end);
                }
                y = end;
                if (!figure->unchanged(file))
                    throw PictureError(PictureError::Invalid);
            } catch (...) {
                error = std::current_exception();
                whole = QImage();
            }
            if (error || y >= figure->size_.height()) {
                {
                    std::lock_guard lock(figure->mutex_);
                    figure->whole_ = std::move(whole);
                    figure->wholeError_ = error;
                    figure->backgroundRunning_ = false;
                }
                figure->done_.notify_all();
                return;
            }
        }
    });
}

bool Figure::wholeReady() const {
    std::lock_guard lock(mutex_);
    return !whole_.isNull();
}

QImage Figure::whole() const {
    {
        std::unique_lock lock(mutex_);
        if (backgroundRunning_) {
            IdleReader& reader = IdleReader::of(opened_.device);
            reader.startWaiting();
            done_.wait(lock, [this] { return !backgroundRunning_; });
            reader.stopWaiting();
        }
        if (!whole_.isNull())
            return withCurrentResolution(whole_);
        if (wholeError_)
            std::rethrow_exception(wholeError_);
    }
    // Too large to keep: read now, for the one who asks.
    QImage whole = rows_->allocateWhole();
    const OpenFile file = reopen();
    if (!file)
        throw PictureError(PictureError::Invalid);
    rows_->readWholeRows(file.fd, whole, 0, size_.height());
    if (!unchanged(file))
        throw PictureError(PictureError::Invalid);
    return withCurrentResolution(std::move(whole));
}

std::optional<QImage> Figure::region(const QRect& r) const {
    const QRect part = r & QRect(QPoint(0, 0), size_);
    if (part.isEmpty())
        return std::nullopt;
    {
        std::lock_guard lock(mutex_);
        if (!whole_.isNull())
            return premultiplied(whole_.copy(part));
    }
    if (!rows_ || failed_.load())
        return std::nullopt;
    QImage out(part.size(), QImage::Format_RGB32);
    if (out.isNull())
        return std::nullopt;
    if (!fromFile([&](int fd) { rows_->readRegion(fd, part, out); }))
        return std::nullopt;
    return out;
}

bool Figure::averagedRows(int k, int first, int count, uchar* out, std::size_t bytesPerLine) const {
    const int blocks = (size_.width() + (1 << k) - 1) >> k;
    const int fromRow = first << k;
    const int endRow = std::min(size_.height(), (first + count) << k);
    QImage whole;
    {
        std::lock_guard lock(mutex_);
        whole = whole_;
    }
    if (rows_ && !whole.isNull() &&
        (whole.format() == QImage::Format_BGR888 || whole.format() == QImage::Format_Indexed8 ||
         whole.format() == QImage::Format_RGB32)) {
        // Summed straight from the opaque whole picture in memory.
        std::vector<std::uint32_t> sums(static_cast<std::size_t>(blocks) * 3);
        for (int r = 0; r < count && fromRow + (r << k) < endRow; ++r) {
            const int y = fromRow + (r << k);
            const int n = std::min(1 << k, endRow - y);
            std::fill(sums.begin(), sums.end(), 0u);
            for (int i = 0; i < n; ++i)
                addImageRow(whole, y + i, k, sums.data());
            writeAverages(sums.data(), k, n,
                          reinterpret_cast<QRgb*>(out + static_cast<std::size_t>(r) * bytesPerLine));
        }
        return true;
    }
    if (!rows_ || !whole.isNull()) {
        // From the pixels in memory.
        const std::optional<QImage> pixels = region(QRect(0, fromRow, size_.width(), endRow - fromRow));
        if (!pixels)
            return false;
        const QImage averaged = averageBlocks(*pixels, k);
        for (int r = 0; r < averaged.height(); ++r)
            std::memcpy(out + static_cast<std::size_t>(r) * bytesPerLine, averaged.constScanLine(r),
                        static_cast<std::size_t>(blocks) * 4);
        return true;
    }
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(blocks) * 3);
    std::vector<std::uint8_t> buffer;
    return fromFile([&](int fd) {
        for (int r = 0; r < count && fromRow + (r << k) < endRow; ++r) {
            const int y = fromRow + (r << k);
            const int n = std::min(1 << k, endRow - y);
            std::fill(sums.begin(), sums.end(), 0u);
            rows_->addRows(fd, y, n, k, sums.data(), buffer);
            writeAverages(sums.data(), k, n,
                          reinterpret_cast<QRgb*>(out + static_cast<std::size_t>(r) * bytesPerLine));
        }
    });
}

void Figure::writeAverages(const std::uint32_t* sums, int k, int rows, QRgb* line) const {
    const int blocks = (size_.width() + (1 << k) - 1) >> k;
    for (int b = 0; b < blocks; ++b) {
        const int w = std::min(1 << k, size_.width() - (b << k));
        const std::uint32_t pixels = static_cast<std::uint32_t>(w * rows);
        const std::uint32_t* s = sums + static_cast<std::size_t>(b) * 3;
        line[b] = qRgb(static_cast<int>((s[0] + pixels / 2) / pixels),
                       static_cast<int>((s[1] + pixels / 2) / pixels),
                       static_cast<int>((s[2] + pixels / 2) / pixels));
    }
}

std::optional<QImage> Figure::sampled(QSize to) const {
    to = to.boundedTo(size_).expandedTo(QSize(1, 1));
    const double stepX = double(size_.width()) / to.width();
    const double stepY = double(size_.height()) / to.height();
    const auto rowOf = [&](int y) {
        return std::min(size_.height() - 1, static_cast<int>((y + 0.5) * stepY));
    };
    QImage whole;
    {
        std::lock_guard lock(mutex_);
        whole = whole_;
    }
    if (!whole.isNull())
        return sampledFrom(whole, to, stepX, rowOf);
    if (!rows_ || failed_.load())
        return std::nullopt;
    QImage out(to, QImage::Format_RGB32);
    if (out.isNull())
        return std::nullopt;
    // Each row's bytes read here, its pixels made on a second thread from them, in
    // buffers kept from row to row.
    constexpr int kAhead = 16;
    std::vector<std::vector<std::uint8_t>> buffers(kAhead);
    const bool read = fromFile([&](int fd) {
        readHereMakeThere(
            to.height(), kAhead,
            [&](int y) {
                rows_->readSampledBytes(fd, rowOf(y), stepX / 2, stepX, to.width(),
                                        buffers[std::size_t(y % kAhead)]);
            },
            [&](int y) {
                rows_->samplesFromBytes(buffers[std::size_t(y % kAhead)].data(), stepX / 2, stepX, to.width(),
                                        reinterpret_cast<QRgb*>(out.scanLine(y)));
            });
    });
    if (!read)
        return std::nullopt;
    return out;
}

} // namespace kv
