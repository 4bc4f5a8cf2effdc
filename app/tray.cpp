#include "app/tray.h"

#include "app/main_window.h"
#include "app/program.h"
#include "outputs/dmx_output.h"

namespace glowtern {

std::vector<MenuItem> TrayMenu(const Program& program) {
    const DmxOutput& dmx = program.outputs.get<DmxOutput>();
    const bool dmxOn = dmx.settings().enabled;
    std::vector<MenuItem> menu;
    menu.push_back({.id = kMenuOpen, .text = "Open"});
    menu.push_back({.id = kMenuClose, .text = "Close"});
    menu.push_back({.id = kMenuAbout, .text = "About"});
    if (dmx.available()) {  // a build without DMX (Windows) has no entry for it
        menu.push_back({.id = kMenuDmx,
                        .text = dmxOn ? "DMX (" + dmx.state() + ")" : "DMX",
                        .checkable = true,
                        .checked = dmxOn});
    }
    menu.push_back({});
    menu.push_back({.id = kMenuExit, .text = "Exit"});
    return menu;
}

bool AddTrayIconAndMenu(Program& program) {
    Toolkit& toolkit = program.toolkit;
    const bool shown = toolkit.addTrayIcon(kTrayIconId);
    toolkit.setTrayTooltip(kProgramName);
    toolkit.createTrayMenu([&program] { return TrayMenu(program); });
    return shown;
}

void ToggleDmx(Program& program) {
    DmxOutput& dmx = program.outputs.get<DmxOutput>();
    DmxSettings settings = dmx.settings();
    settings.enabled = !settings.enabled && dmx.available();
    program.saveDmxKeys = program.saveDmxKeys || settings.enabled;
    dmx.configure(settings);
}

void ShowAboutBox(Toolkit& toolkit) {
    toolkit.messageBox("Glowtern 1.0 - turns the sound of the room into light.", "",
                       MessageIcon::Information);
}

}  // namespace glowtern
