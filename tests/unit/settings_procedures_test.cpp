// What reaches "setting.dat" and what comes back from it, with real files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <sstream>

#include "app/main_window.h"
#include "app/settings.h"
#include "app/tray.h"
#include "engine/control_ids.h"
#include "outputs/dmx_output.h"
#include "tests/support/program_rig.h"

namespace glowtern::testing {
namespace {

using ::testing::HasSubstr;

std::string lines(std::initializer_list<std::string> entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += entry + "\r\n";
    }
    return text;
}

// Runs the program on `file` (none when empty) until the worker has sampled the sliders, then
// runs `step`, then chooses Exit from the tray menu; the file it leaves.
std::string runAndExit(ProgramRig& rig, const std::string& file, std::function<void()> step) {
    if (!file.empty()) {
        writeFile(rig.settingsPath(), file);
    }
    rig.toolkit.script = {[&rig] { rig.waitForCycles(1); }, step,
                          [&rig] { rig.toolkit.postEvent(menu(kMenuExit)); }};
    EXPECT_EQ(rig.run(), 0);
    return readFile(rig.settingsPath());
}

// The DMX keys: absent, DMX is off with its defaults and none is written back; present,
// hand-edited values are clamped and all four are kept; DMX switched on in the tray menu
// writes them to a file that had none.
TEST(SettingsProcedures, DmxKeysAreClampedAndKeptWhereTheyWereOrDmxWasSwitchedOn) {
    const std::tuple<std::string, DmxSettings, std::string> cases[] = {
        {"", {}, ""},
        {lines({"DMX = 1", "DMX_Universe = -4", "DMX_Address = 600", "DMX_Mode = 7"}),
         {.enabled = true, .universe = 0, .address = 512, .mode = DmxMode::Level},
         "DMX = 1,DMX_Address = 512,DMX_Mode = 1,DMX_Universe = 0,"},
        {lines({"DMX_Address = 0", "DMX_Universe = 2147483647"}),
         {.universe = 2147483647, .address = 1},
         "DMX = 0,DMX_Address = 1,DMX_Mode = 0,DMX_Universe = 2147483647,"},
        {lines({"Level = 35"}),  // switched on
         {},
         "DMX = 1,DMX_Address = 1,DMX_Mode = 0,DMX_Universe = 1,"},
    };
    for (const auto& [file, loaded, saved] : cases) {
        ProgramRig rig;
        std::istringstream text(runAndExit(rig, file, [&] {
            EXPECT_EQ(rig.program.outputs.get<DmxOutput>().settings(), loaded) << file;
            if (file == lines({"Level = 35"})) {
                rig.toolkit.postEvent(menu(kMenuDmx));
            }
        }));
        std::set<std::string> dmxLines;  // in key order
        for (std::string line; std::getline(text, line, '\n');) {
            if (line.starts_with("DMX")) {
                dmxLines.insert(line.substr(0, line.size() - 1) + ",");
            }
        }
        EXPECT_EQ(std::accumulate(dmxLines.begin(), dmxLines.end(), std::string()), saved) << file;
    }
}

// Band values go to the file at the end only in the Manual mode; the Rnd mode starts with
// the sliders at 0. (The longest ARU keeps the Auto mode from lowering band 4 for 3 s.)
TEST(SettingsProcedures, BandValuesAreSavedAtShutdownOnlyInManualMode) {
    for (int mode : {0, 1, 2, 3}) {
        ProgramRig rig;
        writeFile(rig.settingsPath(),
                  lines({"Effect = " + std::to_string(mode), "fr4 = 11", "ARU = 60"}));
        rig.toolkit.script = {[&] {
            EXPECT_EQ(rig.toolkit.controls().state(bandSlider(4)), mode == 3 ? 0 : 11) << mode;
            rig.toolkit.controls().setState(bandSlider(4), 27);
            rig.toolkit.postEvent({.number = kCloseEvent});
        }};
        ASSERT_EQ(rig.run(), 0);
        const std::string text = readFile(rig.settingsPath());
        EXPECT_THAT(text, HasSubstr(mode == kManualMode ? "fr4 = 27\r\n" : "fr4 = 11\r\n"));
        EXPECT_EQ(text.find("fr1 =") != std::string::npos, mode == kManualMode) << mode;
    }
}

TEST(SettingsProcedures, SavedPositionIsTheLastNormalPlacementAndTheNextStartsThere) {
    ProgramRig rig;
    const std::string text = runAndExit(rig, "", [&] { rig.toolkit.position = {230, 140}; });
    EXPECT_THAT(text, HasSubstr("X_form = 230\r\nY_form = 140\r\n"));
    ProgramRig next;
    runAndExit(next, text, [] {});
    EXPECT_THAT(next.log.entries(), ::testing::Contains("openMainWindow 230,140"));
}

// "Sound from": offered in the tray menu with the recording's sources, the chosen one checked,
// handed to the recording when chosen and at the next start, and kept in the settings file
// once it is not the default input (a fresh file has none of it). Only the first start,
// without a file, says how to begin.
TEST(SettingsProcedures, SoundFromIsChosenInTheTrayMenuHandedToTheRecordingAndKept) {
    const SoundSource microphone{.name = "alsa_input.usb-mic", .description = "USB Microphone"};
    const SoundSource monitor{.name = "t.monitor", .description = "Monitor of Null Output"};
    struct Run {
        std::vector<SoundSource> offered;
        SoundSourceChoice atStart;
        std::string submenu;  // "*" before the checked entry
        int choose;
        std::string saved;  // what the file then says
    };
    const Run runs[] = {
        {{microphone, monitor},
         {},
         "*Default input,What this computer plays,-,USB Microphone,Monitor of Null Output,",
         kMenuSoundSource,
         "Sound_From = 2\r\nSound_Source = alsa_input.usb-mic\r\n"},
        // The microphone is unplugged: still chosen, said to be away.
        {{monitor},
         {.from = SoundFrom::NamedSource, .name = microphone.name},
         "Default input,What this computer plays,-,Monitor of Null Output,"
         "*alsa_input.usb-mic (not there now),",
         kMenuSoundThisComputer,
         "Sound_From = 1\r\nSound_Source = alsa_input.usb-mic\r\n"},
        {{},
         {.from = SoundFrom::ThisComputer, .name = {}},
         "Default input,*What this computer plays,",
         kMenuSoundDefault,
         "Sound_From = 0\r\n"},
    };
    std::string file;
    for (const Run& run : runs) {
        ProgramRig rig;
        rig.audio.offerSources(run.offered);
        file = runAndExit(rig, file, [&] {
            EXPECT_EQ(rig.audio.chosen(), run.atStart);
            std::string submenu;
            const std::vector<MenuItem> tray = rig.toolkit.trayMenu();
            for (const MenuItem& item : tray.at(3).submenu) {
                submenu += (item.id == 0 ? "-" : (item.checked ? "*" : "") + item.text) + ",";
            }
            EXPECT_EQ(submenu, run.submenu);
            rig.toolkit.postEvent(menu(run.choose));
        });
        EXPECT_NE(rig.audio.chosen(), run.atStart);
        EXPECT_EQ(rig.audio.chosen(), rig.program.soundFrom);
        EXPECT_EQ(rig.toolkit.notifications.size(), &run == runs ? 1u : 0u);
        EXPECT_THAT(file, HasSubstr("Y_form = 0\r\n" + run.saved));
    }
}

TEST(SettingsProcedures, ExitBeforeTheFirstCycleKeepsTheUsersLevelAndAru) {
    ProgramRig rig;
    writeFile(rig.settingsPath(), lines({"Level = 44", "ARU = 9"}));
    // No cycle has finished when the request is handled: the first fetch is held.
    rig.audio.holdFetches(std::chrono::milliseconds(300));
    rig.toolkit.script = {[&] { rig.toolkit.postEvent(menu(kMenuExit)); }};
    ASSERT_EQ(rig.run(), 0);
    EXPECT_TRUE(readFile(rig.settingsPath()).starts_with("Level = 44\r\nARU = 9\r\n"));
}

}  // namespace
}  // namespace glowtern::testing
