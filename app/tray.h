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
// "Sound from": the default input, what this computer plays, the chosen source while it is
// not there, and the listed sources (kMenuSoundSource + their place in the list).
inline constexpr int kMenuSoundDefault = 20;
inline constexpr int kMenuSoundThisComputer = 21;
inline constexpr int kMenuSoundAbsent = 22;
inline constexpr int kMenuSoundSource = 100;
inline constexpr int kMenuSoundSourceLimit = 400;  // sources listed at most

// The tray menu as it is shown now: "Open", "Close", "About", "Sound from" (the default input,
// what this computer plays, a separator and the sources in `program.listedSources`, the
// chosen one checked), "DMX" (ticked while DMX is on, with its state: "DMX (connected)"),
// a separator, "Exit". "Sound from" is left out when the recording offers no choice of
// sources, "DMX" when the program has no DMX link.
std::vector<MenuItem> TrayMenu(const Program& program);

// Acts on a "Sound from" entry of the tray menu: the choice is taken and handed to the
// recording. False when `id` is no such entry.
bool ChooseSoundFrom(Program& program, int id);

// The DMX entry was chosen: DMX on when it was off, and off when it was on.
void ToggleDmx(Program& program);

// Adds the tray icon, then its tooltip, and the tray menu (which lists the sound sources the
// recording reports when it opens). False when no tray is there to show the icon.
bool AddTrayIconAndMenu(Program& program);

void ShowAboutBox(Toolkit& toolkit);

// Once, when the program starts without a settings file: how to begin.
void ShowFirstStartNotice(Program& program);

}  // namespace glowtern
