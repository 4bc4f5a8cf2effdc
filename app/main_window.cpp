#include "app/main_window.h"

#include <array>
#include <string>
#include <vector>

#include "engine/bands.h"
#include "engine/control_ids.h"

namespace glowtern {

namespace {

constexpr std::array<std::string_view, 19> kSelectorItems = {
    "No", "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8", "9",
    "10", "11", "12", "13", "14", "15", "16", "17", "18"};

// USB pin names beside the output selectors, row by row: left column OUT1..OUT9,
// right column OUT10..OUT18.
constexpr std::array<std::string_view, 9> kLeftPins = {"PD0", "PD1", "PD3", "PD5", "PD6",
                                                       "PD7", "PB0", "PB1", "PB2"};
constexpr std::array<std::string_view, 9> kRightPins = {"PB3", "PB4", "PB5", "PC0", "PC1",
                                                        "PC2", "PC3", "PC4", "PC5"};

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kBlue{0, 0, 255};

std::vector<ControlSpec> buildControlTable() {
    std::vector<ControlSpec> table;

    ControlSpec status{.id = kDeviceStatusLabel,
                       .kind = ControlKind::TextLabel,
                       .x = 10,
                       .y = 4,
                       .width = 161,
                       .height = 16,
                       .text = kDeviceOff};
    status.centred = true;
    status.coloured = true;
    status.textColour = kRed;
    status.backgroundColour = kBlack;
    table.push_back(status);

    for (int band = 1; band <= kBandCount; ++band) {
        table.push_back({.id = bandSlider(band),
                         .kind = ControlKind::ScrollBar,
                         .x = 10 + 9 * (band - 1),
                         .y = 100,
                         .width = 8,
                         .height = 80,
                         .tooltip = kBandLabels[band - 1],
                         .minimum = 0,
                         .maximum = 40,
                         .page = 1,
                         .vertical = true,
                         .initialState = 15});
    }

    const auto button = [](int id, int x, std::string_view text) {
        return ControlSpec{.id = id,
                           .kind = ControlKind::PushButton,
                           .x = x,
                           .y = 205,
                           .width = 50,
                           .height = 20,
                           .text = text};
    };
    table.push_back(button(kManualButton, 10, "Manual"));
    table.push_back(button(kAutoButton, 120, "Auto"));
    table.push_back(button(kRndButton, 65, "Rnd"));

    const auto horizontalSlider = [](int id, int x, std::string_view tooltip, int minimum) {
        return ControlSpec{.id = id,
                           .kind = ControlKind::ScrollBar,
                           .x = x,
                           .y = 185,
                           .width = 80,
                           .height = 16,
                           .tooltip = tooltip,
                           .minimum = minimum,
                           .maximum = 70,
                           .page = 10,
                           .initialState = 35};
    };
    table.push_back(horizontalSlider(kLevelSlider, 10, "Level", 0));
    table.push_back(horizontalSlider(kAruSlider, 90, "ARU", 1));

    ControlSpec link{.id = kLinkLabel,
                     .kind = ControlKind::LinkLabel,
                     .x = 179,
                     .y = 228,
                     .width = 130,
                     .height = 16,
                     .text = kHomePage};
    link.coloured = true;
    link.textColour = kBlue;
    link.hoverColour = kRed;
    link.font = {"Arial", 10};
    table.push_back(link);

    const auto checkBox = [](int id, int x, std::string_view text) {
        return ControlSpec{.id = id,
                           .kind = ControlKind::CheckBox,
                           .x = x,
                           .y = 225,
                           .width = 50,
                           .height = 20,
                           .text = text,
                           .initialState = 1};
    };
    table.push_back(checkBox(kKeyCheckBox, 10, "KEY"));
    table.push_back(checkBox(kLptCheckBox, 120, "LPT"));

    for (int row = 0; row < 9; ++row) {
        for (int column = 0; column < 2; ++column) {
            table.push_back({.id = kFirstPinLabel + 2 * row + column,
                             .kind = ControlKind::TextLabel,
                             .x = column == 0 ? 176 : 246,
                             .y = 8 + 25 * row,
                             .width = 22,
                             .height = 16,
                             .text = column == 0 ? kLeftPins[row] : kRightPins[row]});
        }
    }

    for (int output = 1; output <= 18; ++output) {
        const int row = (output - 1) % 9;
        table.push_back({.id = outputSelector(output),
                         .kind = ControlKind::DropDownList,
                         .x = output <= 9 ? 200 : 270,
                         .y = 4 + 25 * row,
                         .width = 40,
                         .height = 21,
                         .items = kSelectorItems,
                         .dropDownHeight = 350,
                         .initialState = -1});
    }

    for (int band = 1; band <= kBandCount; ++band) {
        table.push_back({.id = levelMeter(band),
                         .kind = ControlKind::Image,
                         .x = 10 + 9 * (band - 1),
                         .y = 22,
                         .width = 8,
                         .height = 70});
    }
    return table;
}

}  // namespace

std::span<const ControlSpec> MainWindowControls() {
    static const std::vector<ControlSpec> table = buildControlTable();
    return table;
}

void OpenMainWindow(Toolkit& toolkit, int x, int y) {
    toolkit.openMainWindow(
        {.title = kProgramName, .clientWidth = 315, .clientHeight = 245, .x = x, .y = y});
}

void CreateMainWindowControls(Toolkit& toolkit) {
    for (const ControlSpec& control : MainWindowControls()) {
        toolkit.createControl(control);
    }
}

}  // namespace glowtern
