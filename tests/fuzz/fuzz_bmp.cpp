// libFuzzer target for the bitmap reader: any input either decodes or raises a
// picture error; never a crash, a hang or an out-of-bounds read. Each input is decoded
// from memory, and read as a file (a file in memory) as LoadPicture reads one; and it is
// given to the icon reader.
#include "picture/bmp_reader.h"
#include "picture/picture.h"
#include "picture/picture_error.h"

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int file = [] {
        kv::setPictureMemoryLimit(std::size_t(256) << 20); // within the fuzzer's own memory limit
        return ::memfd_create("fuzz.bmp", MFD_CLOEXEC);
    }();
    try {
        const QImage img = kv::decodeBmp(data, size);
        (void)img;
    } catch (const kv::PictureError&) {
    }
    {
        const auto icon = kv::decodeIconFile(
            QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        (void)icon;
    }
    if (file >= 0 && ::ftruncate(file, 0) == 0 &&
        ::pwrite(file, data, size, 0) == static_cast<ssize_t>(size)) {
        try {
            const QImage img = kv::readBmpFile(file, size);
            (void)img;
        } catch (const kv::PictureError&) {
        }
    }
    return 0;
}
