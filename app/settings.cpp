#include "app/settings.h"

#include <algorithm>
#include <limits>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/bands.h"
#include "engine/control_ids.h"
#include "outputs/dmx_output.h"

namespace glowtern {

namespace {

// What a read gives for a missing key: a word, which reads as the number 0.
constexpr std::string_view kMissing = "Нет";

int32_t readNumber(const SettingsFile& file, std::string_view key) {
    return toNumber(file.readString(key, kMissing));
}

std::string bandKey(int band) {
    return "fr" + std::to_string(band);
}

std::string outputKey(int output) {
    return "OUT" + std::to_string(output);
}

// The DMX keys: an absent key keeps its default (DMX off, universe 1, address 1, the
// switch mode), so a file without them behaves as it always did. Hand-edited values are
// clamped: a universe is never negative, the start address lies in 1..512 (channels past
// 512 are left out), the mode is 0 or 1.
void loadDmxSettings(Program& program, const SettingsFile& file) {
    DmxSettings settings;
    bool anyKey = false;
    const auto read = [&](std::string_view key, int32_t& value) {
        const std::string text = file.readString(key, kMissing);
        if (text != kMissing) {
            value = toNumber(text);
            anyKey = true;
        }
    };
    int32_t enabled = 0;
    int32_t universe = static_cast<int32_t>(settings.universe);
    int32_t address = settings.address;
    int32_t mode = static_cast<int32_t>(settings.mode);
    read("DMX", enabled);
    read("DMX_Universe", universe);
    read("DMX_Address", address);
    read("DMX_Mode", mode);
    settings.enabled = enabled != 0;
    settings.universe = static_cast<uint32_t>(std::max(universe, 0));
    settings.address = std::clamp(address, 1, kDmxChannels);
    settings.mode = static_cast<DmxMode>(std::clamp(mode, 0, 1));
    program.saveDmxKeys = anyKey;
    program.outputs.get<DmxOutput>().configure(settings);
}

void saveDmxSettings(Program& program, SettingsFile& file) {
    const DmxSettings settings = program.outputs.get<DmxOutput>().settings();
    if (!program.saveDmxKeys && !settings.enabled) {
        return;
    }
    file.writeString("DMX", toText(settings.enabled ? 1 : 0));
    file.writeString("DMX_Universe", std::to_string(settings.universe));
    file.writeString("DMX_Address", toText(settings.address));
    file.writeString("DMX_Mode", toText(static_cast<int32_t>(settings.mode)));
}

constexpr std::string_view kSoundFromKey = "Sound_From";
constexpr std::string_view kSoundSourceKey = "Sound_Source";

// "Sound_From" 0 (or missing, or anything else) the default input, 1 what this computer
// plays, 2 the source named by "Sound_Source" (the default input when that is empty).
SoundSourceChoice readSoundChoice(const SettingsFile& file) {
    switch (readNumber(file, kSoundFromKey)) {
        case static_cast<int32_t>(SoundFrom::ThisComputer):
            return {.from = SoundFrom::ThisComputer, .name = {}};
        case static_cast<int32_t>(SoundFrom::NamedSource): {
            std::string name = file.readString(kSoundSourceKey, "");
            if (!name.empty()) {
                return {.from = SoundFrom::NamedSource, .name = std::move(name)};
            }
            break;
        }
        default:
            break;
    }
    return {};
}

// Files of users who never chose a source stay as they were: the keys are written only once
// a choice other than the default input has been made.
void writeSoundChoice(SettingsFile& file, const SoundSourceChoice& choice) {
    if (choice.from == SoundFrom::DefaultInput && !file.contains(kSoundFromKey)) {
        return;
    }
    file.writeString(kSoundFromKey, toText(static_cast<int32_t>(choice.from)));
    if (choice.from == SoundFrom::NamedSource) {
        file.writeString(kSoundSourceKey, choice.name);
    }
}

void zeroBandSlidersInRndMode(Program& program) {
    if (program.engine.effectMode.load() == kRndMode) {
        for (int band = 1; band <= kBandCount; ++band) {
            program.toolkit.controls().setState(bandSlider(band), 0);
        }
    }
}

}  // namespace

void loadWindowPosition(Program& program) {
    SettingsFile& file = program.settings;
    const bool opened = file.open(program.settingsFileName);
    std::error_code error;
    program.settingsFileFound = opened || std::filesystem::exists(program.settingsFileName, error);
    if (!opened) {
        return;
    }
    program.windowPosition.x = readNumber(file, "X_form");
    program.windowPosition.y = readNumber(file, "Y_form");
    file.close();
}

void loadSettings(Program& program) {
    SettingsFile& file = program.settings;
    ControlModel& controls = program.toolkit.controls();
    if (file.open(program.settingsFileName)) {
        controls.setState(kLevelSlider, readNumber(file, "Level"));
        controls.setState(kAruSlider, readNumber(file, "ARU"));
        for (int band = 1; band <= kBandCount; ++band) {
            controls.setState(bandSlider(band), readNumber(file, bandKey(band)));
        }
        program.engine.effectMode.store(readNumber(file, "Effect"));
        controls.setState(kKeyCheckBox, readNumber(file, "KEY_LED"));
        controls.setState(kLptCheckBox, readNumber(file, "LPT_LED"));
        for (int output = 1; output <= 18; ++output) {
            controls.setState(outputSelector(output), readNumber(file, outputKey(output)));
        }
        loadDmxSettings(program, file);
        program.soundFrom = readSoundChoice(file);
        file.close();
    }
    zeroBandSlidersInRndMode(program);
}

bool loadBandValues(Program& program) {
    SettingsFile& file = program.settings;
    if (!file.open(program.settingsFileName)) {
        return false;
    }
    for (int band = 1; band <= kBandCount; ++band) {
        program.toolkit.controls().setState(bandSlider(band), readNumber(file, bandKey(band)));
    }
    file.close();
    return true;
}

void saveBandValues(Program& program) {
    SettingsFile& file = program.settings;
    file.open(program.settingsFileName);
    for (int band = 1; band <= kBandCount; ++band) {
        file.writeString(bandKey(band), toText(program.toolkit.controls().state(bandSlider(band))));
    }
    file.close();
}

void saveSettings(Program& program) {
    SettingsFile& file = program.settings;
    const ControlModel& controls = program.toolkit.controls();
    // The worker samples both sliders in every cycle. Before its first cycle has
    // run (a termination request right after start) its values are still 0, and
    // saving them would throw away the user's settings; take the sliders then.
    const bool sampled = CyclesCompleted(program.worker) > 0;
    const int32_t level = sampled ? program.engine.levelValue.load() : controls.state(kLevelSlider);
    const int32_t aru = sampled ? program.engine.aruValue.load() : controls.state(kAruSlider);
    file.open(program.settingsFileName);
    file.writeString("Level", toText(level));
    file.writeString("ARU", toText(aru));
    file.writeString("Effect", toText(program.engine.effectMode.load()));
    file.writeString("KEY_LED", toText(controls.state(kKeyCheckBox)));
    for (int output = 1; output <= 18; ++output) {
        file.writeString(outputKey(output), toText(controls.state(outputSelector(output))));
    }
    file.writeString("LPT_LED", toText(controls.state(kLptCheckBox)));
    const WindowPosition position = program.toolkit.mainWindowPosition();
    file.writeString("X_form", toText(position.x));
    file.writeString("Y_form", toText(position.y));
    saveDmxSettings(program, file);
    writeSoundChoice(file, program.soundFrom);
    file.close();
}

}  // namespace glowtern
