#pragma once
// Window designs are written in twips (1/1440 inch). On screen one logical pixel is
// 15 twips (96 pixels per inch); Qt's own high-DPI scaling takes it from there.

namespace kv {

inline constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
    // Round to the nearest pixel; every size in the designs is a multiple of 15 anyway.
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}

constexpr int pixelsToTwips(int pixels) {
    return pixels * kTwipsPerPixel;
}

// HIMETRIC: hundredths of a millimetre. twips x 127 / 72, to the nearest whole unit.
constexpr int twipsToHimetric(int twips) {
    const long long scaled = static_cast<long long>(twips) * 127;
    return static_cast<int>(scaled >= 0 ? (scaled + 36) / 72 : -((-scaled + 36) / 72));
}

} // namespace kv
