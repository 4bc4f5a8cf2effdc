#include "tests/support/test_window.h"

#include <array>
#include <string_view>

#include "engine/control_ids.h"

namespace glowtern::testing {

namespace {

constexpr std::array<std::string_view, 19> kSelectorItems = {
    "No", "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",
    "10", "11", "12", "13", "14", "15", "16", "17", "18",
};

ControlSpec ScrollBar(int id, int minimum, int maximum, int page, int initial) {
    ControlSpec control;
    control.id = id;
    control.kind = ControlKind::ScrollBar;
    control.minimum = minimum;
    control.maximum = maximum;
    control.page = page;
    control.initialState = initial;
    return control;
}

}  // namespace

void DefineEngineControls(ControlModel& controls) {
    for (int band = 1; band <= 18; ++band) {
        ControlSpec slider = ScrollBar(bandSlider(band), 0, 40, 1, 15);
        slider.vertical = true;
        controls.define(slider);
    }
    controls.define(ScrollBar(kLevelSlider, 0, 70, 10, 35));
    controls.define(ScrollBar(kAruSlider, 1, 70, 10, 35));
    for (int id : {kKeyCheckBox, kLptCheckBox}) {
        ControlSpec box;
        box.id = id;
        box.kind = ControlKind::CheckBox;
        box.text = id == kKeyCheckBox ? "KEY" : "LPT";
        box.initialState = 1;
        controls.define(box);
    }
    for (int output = 1; output <= 18; ++output) {
        ControlSpec selector;
        selector.id = outputSelector(output);
        selector.kind = ControlKind::DropDownList;
        selector.items = kSelectorItems;
        selector.initialState = -1;
        controls.define(selector);
    }
    for (int band = 1; band <= 18; ++band) {
        ControlSpec meter;
        meter.id = levelMeter(band);
        meter.kind = ControlKind::Image;
        meter.width = 8;
        meter.height = 70;
        controls.define(meter);
    }
}

}  // namespace glowtern::testing
