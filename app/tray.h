#pragma once

#include <vector>

#include "toolkit/toolkit.h"

namespace glowtern {

struct Program;

inline constexpr int kTrayIconId = 25;
// Tray menu items.
inline constexpr int kMenuOpen = 1;
inline constexpr int kMenuClose = 2;
inline constexpr int kMenuAbout = 3;
inline constexpr int kMenuDmx = 4;
inline constexpr int kMenuExit = 10;

// The tray menu as it is shown now: "Open", "Close", "About", "DMX" (ticked while DMX is on,
// with its state: "DMX (connected)"; left out when the program has no DMX link), a separator,
// "Exit".
std::vector<MenuItem> TrayMenu(const Program& program);

// The DMX entry was chosen: DMX on when it was off, and off when it was on.
void ToggleDmx(Program& program);

// Adds the tray icon, then its tooltip, and the tray menu. False when no tray is there to
// show the icon.
bool AddTrayIconAndMenu(Program& program);

void ShowAboutBox(Toolkit& toolkit);

}  // namespace glowtern
