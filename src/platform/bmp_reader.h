#pragma once
#include <QImage>
#include <cstddef>
#include <cstdint>

// The bitmap reader behind LoadPicture: every BMP variant in use (OS/2 1.x and 2.x and
// Windows headers up to version 5, top-down and bottom-up, 1 to 32 bits per pixel,
// RLE4, RLE8 and RLE24, bit-field masks of any width, embedded PNG and JPEG).
//
// The picture keeps a form that needs no widening where one exists: 24-bit rows stay
// 24-bit, palette pictures stay 8-bit with their colour table.
//
// Any file that is not a sound bitmap raises the invalid-picture run-time error; a
// picture larger than the machine can hold raises the out-of-memory error. It never
// reads outside the bytes it is given, and its work is bounded by the picture's size.
namespace kv {

QImage decodeBmp(const std::uint8_t* data, std::size_t size);

// Whether the bytes start like a bitmap file ("BM").
bool looksLikeBmp(const std::uint8_t* data, std::size_t size);

// The most bytes one decoded picture may take: half of the machine's memory, unless
// set otherwise (0 restores that).
std::size_t pictureMemoryLimit();
void setPictureMemoryLimit(std::size_t bytes);

} // namespace kv
