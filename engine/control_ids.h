#pragma once

namespace glowtern {

// Identifiers of the main window's controls, by which both threads read and set them.
inline constexpr int kDeviceStatusLabel = 0;
inline constexpr int kFirstBandSlider = 1;  // band n is control n, n = 1..18
inline constexpr int kManualButton = 19;
inline constexpr int kAutoButton = 20;
inline constexpr int kLevelSlider = 21;
inline constexpr int kLinkLabel = 22;
inline constexpr int kAruSlider = 23;
inline constexpr int kKeyCheckBox = 24;
inline constexpr int kRndButton = 25;
inline constexpr int kFirstOutputSelector = 27;  // OUTn is control 26 + n, n = 1..18
inline constexpr int kLptCheckBox = 45;
inline constexpr int kFirstPinLabel = 46;    // 46..63
inline constexpr int kLevelMeterBase = 302;  // band n's meter is control 302 + n

inline constexpr int bandSlider(int band) {
    return band;
}
inline constexpr int outputSelector(int output) {
    return 26 + output;
}
inline constexpr int levelMeter(int band) {
    return kLevelMeterBase + band;
}

}  // namespace glowtern
