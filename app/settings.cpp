#include "app/settings.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "engine/bands.h"
#include "engine/control_ids.h"

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
    writeSoundChoice(file, program.soundFrom);
    file.close();
}

}  // namespace glowtern
