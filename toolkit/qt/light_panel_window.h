#pragma once

// The window of `glowtern-panel`: every lamp of the virtual parallel port and USB light
// device, and a strip chart of the port lines over the last few seconds. It knows nothing
// of sockets; its owner tells it what to draw.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace glowtern {

struct LightPanelLineSample {
    int64_t nanoseconds = 0;  // CLOCK_MONOTONIC
    uint16_t lines = 0;       // the line levels from then on
};

// What the window draws. Lines in the order D0..D7, Strobe, Auto Feed, Initialize, Select In
// (bit i set: line i high at the connector); pins in the order PB0..PB5, PC0..PC5, PD0, PD1,
// PD3, PD5, PD6, PD7 (bit i set: pin i on).
struct LightPanelPicture {
    uint16_t lines = 0;
    uint32_t pins = 0;
    bool usbPlugged = true;
    std::string status;                         // one line about who is connected
    std::vector<LightPanelLineSample> history;  // changes of `lines`, oldest first
};

class LightPanelWindow {
  public:
    // How far back the strip chart reaches, and the most frames drawn per second.
    static constexpr int64_t kChartNanoseconds = 5'000'000'000;
    static constexpr int kFramesPerSecond = 30;

    // Makes the application object; on the main thread, before anything else of Qt.
    LightPanelWindow(int& argc, char** argv);
    ~LightPanelWindow();
    LightPanelWindow(const LightPanelWindow&) = delete;
    LightPanelWindow& operator=(const LightPanelWindow&) = delete;

    // Calls `handler` on this thread whenever `fd` is readable.
    void watch(int fd, std::function<void()> handler);
    // Asked for the picture before each frame.
    void setPictureSource(std::function<void(LightPanelPicture&)> source);
    // Told when the user plugs the USB device in or pulls it out.
    void setUsbPluggedHandler(std::function<void(bool)> handler);
    // The picture has changed: it is drawn with the next frame. While the chart has
    // anything to show, frames follow each other by themselves (it scrolls); otherwise
    // nothing is drawn until the next change.
    void changed();

    // Shows the window and runs until it is closed or quit() is called. Returns 0.
    int run();
    void quit();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace glowtern
