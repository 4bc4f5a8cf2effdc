#include "outputs/light_outputs.h"

#include "outputs/dmx_output.h"
#include "outputs/keyboard_output.h"
#include "outputs/panel_output.h"
#include "outputs/port_output.h"
#include "outputs/usb_output.h"

namespace glowtern {

LightOutputs::LightOutputs(const OutputContext& context) {
    add<KeyboardOutput>(context.leds, context.savedLeds, context.controls);
    add<PortOutput>(context.port, context.controls);
    add<UsbOutput>(context.usb, context.controls);
    add<PanelOutput>(context.panelSocket, get<PortOutput>(), context.controls);
    add<DmxOutput>(context.dmx);
}

void CloseOutputs(const LightOutputs& outputs) {
    for (LightOutput* output : outputs.inOrder()) {
        output->close();
    }
}

void SwitchLampsOff(const LightOutputs& outputs) {
    const LightOutputList list = outputs.inOrder();
    for (auto output = list.rbegin(); output != list.rend(); ++output) {
        if (!(*output)->offNeedsDisplay()) {
            (*output)->switchOff();
        }
    }
}

void SwitchDisplayOutputsOff(const LightOutputs& outputs) {
    for (LightOutput* output : outputs.inOrder()) {
        if (output->offNeedsDisplay()) {
            output->switchOff();
        }
    }
}

}  // namespace glowtern
