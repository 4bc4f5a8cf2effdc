// What reaches "setting.dat" and what comes back from it, with real files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <sstream>

#include "app/main_window.h"
#include "app/settings.h"
#include "app/tray.h"
#include "engine/control_ids.h"
#include "outputs/dmx_output.h"
#include "tests/support/program_rig.h"

namespace glowtern::testing {
namespace {

std::string lines(std::initializer_list<std::string> entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += entry + "\r\n";
    }
    return text;
}

std::string defaultTail(const std::string& effect) {
    std::string text = lines({"Level = 35", "ARU = 35", "Effect = " + effect, "KEY_LED = 1"});
    for (int output = 1; output <= 18; ++output) {
        text += "OUT" + std::to_string(output) + " = -1\r\n";
    }
    return text + lines({"LPT_LED = 1", "X_form = 0", "Y_form = 0"});
}

// Runs the program until the worker has sampled the sliders, presses `buttons`,
// then chooses Exit from the tray menu.
void runAndExit(ProgramRig& rig, std::initializer_list<int> buttons = {}) {
    rig.toolkit.script.push_back([&rig] { rig.waitForCycles(1); });
    for (int button : buttons) {
        rig.toolkit.script.push_back([&rig, button] { rig.toolkit.clickControl(button); });
    }
    rig.toolkit.script.push_back(
        [&rig] { rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit}); });
    ASSERT_EQ(RunProgram(rig.program), 0);
}

TEST(SettingsProcedures, FirstExitWithoutAFileWritesTheBuiltInValues) {
    ProgramRig rig;
    runAndExit(rig);
    EXPECT_EQ(readFile(rig.settingsPath()), defaultTail("0"));
}

TEST(SettingsProcedures, FirstExitInManualModeWritesAll43Keys) {
    ProgramRig rig;
    runAndExit(rig, {kManualButton});
    std::string expected;
    for (int band = 1; band <= 18; ++band) {
        expected += "fr" + std::to_string(band) + " = 15\r\n";
    }
    expected += defaultTail("1");
    EXPECT_EQ(readFile(rig.settingsPath()), expected);
}

TEST(SettingsProcedures, FirstExitInAutoOrRndWithoutABandSaveWrites25Lines) {
    for (int button : {kAutoButton, kRndButton}) {
        ProgramRig rig;
        runAndExit(rig, {button});
        const std::string text = readFile(rig.settingsPath());
        EXPECT_EQ(text.rfind("Level = 35\r\n", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 25);
    }
}

// The DMX keys: absent, DMX is off with its defaults and none is written back; present,
// hand-edited values are clamped and all four are kept; DMX switched on in the tray menu
// writes them to a file that had none.
TEST(SettingsProcedures, DmxKeysAreClampedAndKeptWhereTheyWereOrDmxWasSwitchedOn) {
    struct Case {
        std::string file;
        bool toggle;
        DmxSettings loaded;
        std::string saved;  // the DMX lines of the saved file, in key order
    };
    const std::vector<Case> cases = {
        {"", false, {}, ""},
        {lines({"DMX = 1", "DMX_Universe = -4", "DMX_Address = 600", "DMX_Mode = 7"}),
         false,
         {.enabled = true, .universe = 0, .address = 512, .mode = DmxMode::Level},
         lines({"DMX = 1", "DMX_Address = 512", "DMX_Mode = 1", "DMX_Universe = 0"})},
        {lines({"DMX_Address = 0", "DMX_Universe = 2147483647"}),
         false,
         {.universe = 2147483647, .address = 1},
         lines({"DMX = 0", "DMX_Address = 1", "DMX_Mode = 0", "DMX_Universe = 2147483647"})},
        {lines({"Level = 35"}),
         true,
         {},
         lines({"DMX = 1", "DMX_Address = 1", "DMX_Mode = 0", "DMX_Universe = 1"})},
    };
    for (const Case& c : cases) {
        ProgramRig rig;
        if (!c.file.empty()) {
            writeFile(rig.settingsPath(), c.file);
        }
        rig.toolkit.script.push_back([&] {
            EXPECT_EQ(rig.program.outputs.get<DmxOutput>().settings(), c.loaded) << c.file;
            if (c.toggle) {
                rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuDmx});
            }
        });
        runAndExit(rig);
        std::istringstream text(readFile(rig.settingsPath()));
        std::vector<std::string> dmxLines;
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("DMX", 0) == 0) {
                dmxLines.push_back(line + "\n");
            }
        }
        std::sort(dmxLines.begin(), dmxLines.end());
        EXPECT_EQ(std::accumulate(dmxLines.begin(), dmxLines.end(), std::string()), c.saved)
            << c.file;
    }
}

TEST(SettingsProcedures, MissingKeysReadAsZeroAndControlsClampIt) {
    ProgramRig rig;
    writeFile(rig.settingsPath(),
              lines({"Level = 20", "fr1 = 33", "fr2 = 99", "Effect = 1", "LPT_LED = 1", "OUT1 = 4",
                     "OUT2 = 19", "X_form = 120", "Y_form = -8"}));
    loadWindowPosition(rig.program);
    EXPECT_EQ(rig.program.windowPosition.x, 120);
    EXPECT_EQ(rig.program.windowPosition.y, -8);
    OpenMainWindow(rig.toolkit, 0, 0);
    CreateMainWindowControls(rig.toolkit);
    loadSettings(rig.program);
    const ControlModel& controls = rig.toolkit.controls();
    EXPECT_EQ(controls.state(kLevelSlider), 20);
    EXPECT_EQ(controls.state(kAruSlider), 1) << "no ARU key: 0, clamped";
    EXPECT_EQ(controls.state(bandSlider(1)), 33);
    EXPECT_EQ(controls.state(bandSlider(2)), 39);
    EXPECT_EQ(controls.state(bandSlider(3)), 0);
    EXPECT_EQ(controls.state(kKeyCheckBox), 0) << "no KEY_LED key: unchecked";
    EXPECT_EQ(controls.state(kLptCheckBox), 1);
    EXPECT_EQ(controls.state(outputSelector(1)), 4);
    EXPECT_EQ(controls.state(outputSelector(2)), -1) << "19 has no item";
    EXPECT_EQ(controls.state(outputSelector(5)), 0) << "no OUT5 key: \"No\"";
    EXPECT_EQ(rig.program.engine.effectMode.load(), kManualMode);
}

TEST(SettingsProcedures, RndModeStartsWithBandSlidersAtZero) {
    ProgramRig rig;
    std::string text = lines({"Effect = 3", "ARU = 12", "Level = 40", "KEY_LED = 1"});
    for (int band = 1; band <= 18; ++band) {
        text += "fr" + std::to_string(band) + " = 30\r\n";
    }
    writeFile(rig.settingsPath(), text);
    rig.toolkit.script.push_back([&] {
        for (int band = 1; band <= 18; ++band) {
            EXPECT_EQ(rig.toolkit.controls().state(bandSlider(band)), 0);
        }
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
    });
    ASSERT_EQ(RunProgram(rig.program), 0);
    // Not Manual mode: the stored band values stay as they were.
    EXPECT_NE(readFile(rig.settingsPath()).find("fr7 = 30\r\n"), std::string::npos);
}

TEST(SettingsProcedures, BandValuesAreSavedAtShutdownOnlyInManualMode) {
    for (int mode : {0, 1, 2, 3}) {
        ProgramRig rig;
        writeFile(rig.settingsPath(), lines({"Effect = " + std::to_string(mode), "fr4 = 11"}));
        rig.toolkit.script.push_back([&] {
            rig.toolkit.controls().setState(bandSlider(4), 27);
            rig.toolkit.postEvent({.number = kCloseEvent});
        });
        ASSERT_EQ(RunProgram(rig.program), 0);
        const std::string text = readFile(rig.settingsPath());
        if (mode == kManualMode) {
            EXPECT_NE(text.find("fr4 = 27\r\n"), std::string::npos) << text;
        } else {
            EXPECT_NE(text.find("fr4 = 11\r\n"), std::string::npos) << "mode " << mode;
            EXPECT_EQ(text.find("fr1 ="), std::string::npos) << "mode " << mode;
        }
    }
}

TEST(SettingsProcedures, HandEditedFileKeepsItsShapeThroughAnExit) {
    ProgramRig rig;
    writeFile(rig.settingsPath(),
              "; my show\r\n  level=12\r\nOwner = Anna\r\n\r\n"
              "[Old]\r\nARU = 5\r\n");
    runAndExit(rig);
    std::string expected =
        lines({"; my show", "Level = 12", "Owner = Anna", "ARU = 1", "Effect = 0", "KEY_LED = 0"});
    for (int output = 1; output <= 18; ++output) {
        expected += "OUT" + std::to_string(output) + " = 0\r\n";
    }
    expected += lines({"LPT_LED = 0", "X_form = 0", "Y_form = 0", "[Old]", "ARU = 5"});
    EXPECT_EQ(readFile(rig.settingsPath()), expected);
}

TEST(SettingsProcedures, SavedPositionIsTheLastNormalPlacement) {
    ProgramRig rig;
    rig.toolkit.script.push_back([&] {
        rig.toolkit.moveByUser(230, 140);
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
    });
    ASSERT_EQ(RunProgram(rig.program), 0);
    const std::string text = readFile(rig.settingsPath());
    EXPECT_NE(text.find("X_form = 230\r\nY_form = 140\r\n"), std::string::npos) << text;

    // The next start opens the window there.
    ProgramRig next;
    writeFile(next.settingsPath(), text);
    next.toolkit.script.push_back([&] {
        EXPECT_EQ(next.toolkit.windowPosition.x, 230);
        next.toolkit.postEvent({.number = kCloseEvent});
    });
    ASSERT_EQ(RunProgram(next.program), 0);
    EXPECT_THAT(next.log.entries(), ::testing::Contains("openMainWindow 230,140"));
}

// "Sound from": offered in the tray menu with the recording's sources, the chosen one checked,
// handed to the recording when chosen and at the next start, and kept in the settings file
// once it is not the default input (a fresh file has none of it: see the first test). Only the
// first start, without a file, says how to begin.
TEST(SettingsProcedures, SoundFromIsChosenInTheTrayMenuHandedToTheRecordingAndKept) {
    using ::testing::ElementsAre;
    using ::testing::HasSubstr;
    const SoundSource microphone{.name = "alsa_input.usb-mic", .description = "USB Microphone"};
    const SoundSource monitor{.name = "t.monitor", .description = "Monitor of Null Output"};
    struct Run {
        std::vector<SoundSource> offered;
        SoundSourceChoice atStart;
        std::vector<std::string> submenu;  // "*" before the checked entry
        int choose;
        std::string saved;  // what the file then says
        size_t notices;
    };
    const Run runs[] = {
        {{microphone, monitor},
         {},
         {"*Default input", "What this computer plays", "-", "USB Microphone",
          "Monitor of Null Output"},
         kMenuSoundSource,
         "Sound_From = 2\r\nSound_Source = alsa_input.usb-mic\r\n",
         1},
        // The microphone is unplugged: still chosen, said to be away.
        {{monitor},
         {.from = SoundFrom::NamedSource, .name = microphone.name},
         {"Default input", "What this computer plays", "-", "Monitor of Null Output",
          "*alsa_input.usb-mic (not there now)"},
         kMenuSoundThisComputer,
         "Sound_From = 1\r\nSound_Source = alsa_input.usb-mic\r\n",
         0},
        {{},
         {.from = SoundFrom::ThisComputer, .name = {}},
         {"Default input", "*What this computer plays"},
         kMenuSoundDefault,
         "Sound_From = 0\r\n",
         0},
    };
    std::string file;
    for (const Run& run : runs) {
        ProgramRig rig;
        if (!file.empty()) {
            writeFile(rig.settingsPath(), file);
        }
        rig.audio.offerSources(run.offered);
        rig.toolkit.script.push_back([&] {
            EXPECT_EQ(rig.audio.chosen(), run.atStart);
            const std::vector<MenuItem> menu = rig.toolkit.trayMenu();
            ASSERT_EQ(menu.size(), 7u);
            EXPECT_EQ(menu[3].text, "Sound from");
            std::vector<std::string> submenu;
            for (const MenuItem& item : menu[3].submenu) {
                submenu.push_back(item.id == 0 ? "-" : (item.checked ? "*" : "") + item.text);
            }
            EXPECT_EQ(submenu, run.submenu);
            rig.toolkit.postEvent({.number = kMenuEvent, .id = run.choose});
        });
        rig.toolkit.script.push_back([&] {
            EXPECT_NE(rig.audio.chosen(), run.atStart);
            EXPECT_EQ(rig.audio.chosen(), rig.program.soundFrom);
            rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
        });
        ASSERT_EQ(RunProgram(rig.program), 0);
        EXPECT_EQ(rig.toolkit.notifications.size(), run.notices);
        file = readFile(rig.settingsPath());
        EXPECT_THAT(file, HasSubstr("Y_form = 0\r\n" + run.saved)) << file;
    }
}

TEST(SettingsProcedures, ExitBeforeTheFirstCycleKeepsTheUsersLevelAndAru) {
    ProgramRig rig;
    writeFile(rig.settingsPath(), lines({"Level = 44", "ARU = 9"}));
    // No cycle has finished when the request is handled: the first fetch is held.
    rig.audio.holdFetches(std::chrono::milliseconds(300));
    rig.toolkit.script.push_back(
        [&] { rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit}); });
    ASSERT_EQ(RunProgram(rig.program), 0);
    const std::string text = readFile(rig.settingsPath());
    EXPECT_EQ(text.rfind("Level = 44\r\nARU = 9\r\n", 0), 0u) << text;
}

}  // namespace
}  // namespace glowtern::testing
