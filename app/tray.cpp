#include "app/tray.h"

#include <algorithm>
#include <string>

#include "app/main_window.h"
#include "app/program.h"
#include "outputs/dmx_output.h"

namespace glowtern {

namespace {

MenuItem soundEntry(int id, std::string text, bool checked) {
    return {.id = id, .text = std::move(text), .checkable = true, .checked = checked};
}

std::vector<MenuItem> soundFromMenu(const Program& program) {
    const SoundSourceChoice& choice = program.soundFrom;
    std::vector<MenuItem> entries;
    entries.push_back(
        soundEntry(kMenuSoundDefault, "Default input", choice.from == SoundFrom::DefaultInput));
    entries.push_back(soundEntry(kMenuSoundThisComputer, "What this computer plays",
                                 choice.from == SoundFrom::ThisComputer));
    const std::vector<SoundSource>& sources = program.listedSources;
    const bool named = choice.from == SoundFrom::NamedSource;
    const bool listed = std::any_of(sources.begin(), sources.end(),
                                    [&](const SoundSource& s) { return s.name == choice.name; });
    if (!sources.empty() || (named && !listed)) {
        entries.push_back({});
    }
    const int count = std::min(static_cast<int>(sources.size()), kMenuSoundSourceLimit);
    for (int i = 0; i < count; ++i) {
        const SoundSource& source = sources[static_cast<size_t>(i)];
        entries.push_back(soundEntry(kMenuSoundSource + i, source.description,
                                     named && source.name == choice.name));
    }
    // A chosen source that is away (a microphone pulled out) stays chosen: the default input
    // stands in until it is back.
    if (named && !listed) {
        entries.push_back(soundEntry(kMenuSoundAbsent, choice.name + " (not there now)", true));
    }
    return entries;
}

}  // namespace

std::vector<MenuItem> TrayMenu(const Program& program) {
    const DmxOutput& dmx = program.outputs.get<DmxOutput>();
    const bool dmxOn = dmx.settings().enabled;
    std::vector<MenuItem> menu;
    menu.push_back({.id = kMenuOpen, .text = "Open"});
    menu.push_back({.id = kMenuClose, .text = "Close"});
    menu.push_back({.id = kMenuAbout, .text = "About"});
    // A build without DMX (Windows) has no entry for it, nor one for sources when its
    // recording keeps to the default input.
    if (program.platform.audio.offersSourceChoice()) {
        menu.push_back({.text = "Sound from", .submenu = soundFromMenu(program)});
    }
    if (dmx.available()) {
        menu.push_back({.id = kMenuDmx,
                        .text = dmxOn ? "DMX (" + dmx.state() + ")" : "DMX",
                        .checkable = true,
                        .checked = dmxOn});
    }
    menu.push_back({});
    menu.push_back({.id = kMenuExit, .text = "Exit"});
    return menu;
}

bool ChooseSoundFrom(Program& program, int id) {
    SoundSourceChoice choice;
    if (id == kMenuSoundDefault) {
        choice.from = SoundFrom::DefaultInput;
    } else if (id == kMenuSoundThisComputer) {
        choice.from = SoundFrom::ThisComputer;
    } else if (id == kMenuSoundAbsent) {
        return true;  // the choice as it is
    } else if (id >= kMenuSoundSource && id - kMenuSoundSource < kMenuSoundSourceLimit &&
               static_cast<size_t>(id - kMenuSoundSource) < program.listedSources.size()) {
        choice.from = SoundFrom::NamedSource;
        choice.name = program.listedSources[static_cast<size_t>(id - kMenuSoundSource)].name;
    } else {
        return false;
    }
    program.soundFrom = choice;
    program.platform.audio.chooseSource(choice);
    return true;
}

bool AddTrayIconAndMenu(Program& program) {
    Toolkit& toolkit = program.toolkit;
    const bool shown = toolkit.addTrayIcon(kTrayIconId);
    toolkit.setTrayTooltip(kProgramName);
    toolkit.createTrayMenu([&program] {
        program.listedSources = program.platform.audio.sources();
        return TrayMenu(program);
    });
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

void ShowFirstStartNotice(Program& program) {
    std::string text =
        "Click this icon to open the window, then press Manual, Auto or Rnd to start the "
        "lights. The sound comes from the default input";
    text += program.platform.audio.offersSourceChoice()
                ? "; \"Sound from\" in this icon's menu picks another, such as what this "
                  "computer plays."
                : ".";
    program.toolkit.showTrayNotification("Glowtern is running", text);
}

}  // namespace glowtern
