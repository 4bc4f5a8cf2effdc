#pragma once

#include <span>
#include <string_view>

#include "toolkit/toolkit.h"

namespace glowtern {

inline constexpr std::string_view kProgramName = "Glowtern";
inline constexpr std::string_view kHomePage = "www.glowtern.org";
inline constexpr std::string_view kDeviceOn = "Device ON";
inline constexpr std::string_view kDeviceOff = "Device OFF";

// The main window's controls in creation order, with their places, texts, ranges
// and initial states.
std::span<const ControlSpec> MainWindowControls();

// Opens the main window hidden at `x`, `y`.
void OpenMainWindow(Toolkit& toolkit, int x, int y);

// Creates every control of the main window, in order, with its initial state.
void CreateMainWindowControls(Toolkit& toolkit);

}  // namespace glowtern
