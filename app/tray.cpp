#include "app/tray.h"

#include <array>

#include "app/main_window.h"

namespace glowtern {

namespace {
constexpr std::array<MenuItem, 5> kTrayMenu = {{
    {kMenuOpen, "Open"},
    {kMenuClose, "Close"},
    {kMenuAbout, "About"},
    {0, {}},
    {kMenuExit, "Exit"},
}};
}  // namespace

bool AddTrayIconAndMenu(Toolkit& toolkit) {
    const bool shown = toolkit.addTrayIcon(kTrayIconId);
    toolkit.setTrayTooltip(kProgramName);
    toolkit.createTrayMenu(kTrayMenu);
    return shown;
}

void ShowAboutBox(Toolkit& toolkit) {
    toolkit.messageBox("Glowtern 1.0 - turns the sound of the room into light.", "",
                       MessageIcon::Information);
}

}  // namespace glowtern
