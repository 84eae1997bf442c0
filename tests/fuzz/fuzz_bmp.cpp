// libFuzzer target for the bitmap reader: any input either decodes or raises a
// run-time error; never a crash, a hang or an out-of-bounds read.
#include "platform/bmp_reader.h"
#include "platform/runtime_error.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool limited = [] {
        kv::setPictureMemoryLimit(std::size_t(256) << 20); // within the fuzzer's own memory limit
        return true;
    }();
    (void)limited;
    try {
        const QImage img = kv::decodeBmp(data, size);
        (void)img;
    } catch (const kv::RuntimeError&) {
    }
    return 0;
}
