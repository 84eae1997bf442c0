#pragma once
#include <QColor>
#include <cstdint>

// Colours in window designs are 32-bit OLE colour values: either 0x00BBGGRR, or
// 0x800000nn for the system colour with index nn.
namespace kv {

using OleColor = std::uint32_t;

namespace color {
inline constexpr OleColor ButtonFace = 0x8000000F;
inline constexpr OleColor ButtonText = 0x80000012;
inline constexpr OleColor WindowBackground = 0x80000005;
inline constexpr OleColor WindowText = 0x80000008;
inline constexpr OleColor AppWorkspace = 0x8000000C;
inline constexpr OleColor LightBlue = 0x00FF8080;
inline constexpr OleColor Silver = 0x00C0C0C0;
} // namespace color

constexpr bool isSystemColor(OleColor c) {
    return (c & 0xFF000000u) == 0x80000000u;
}

// Resolves a colour against the application's palette: system colours take the palette
// role that means the same thing, plain colours their red, green and blue bytes.
QColor toQColor(OleColor c);

} // namespace kv
