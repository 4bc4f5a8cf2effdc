#pragma once

#include "toolkit/toolkit.h"

namespace glowtern {

inline constexpr int kTrayIconId = 25;
// Tray menu items.
inline constexpr int kMenuOpen = 1;
inline constexpr int kMenuClose = 2;
inline constexpr int kMenuAbout = 3;
inline constexpr int kMenuExit = 10;

// Adds the tray icon, then its tooltip, and builds the tray menu. False when no
// tray is there to show the icon.
bool AddTrayIconAndMenu(Toolkit& toolkit);

void ShowAboutBox(Toolkit& toolkit);

}  // namespace glowtern
