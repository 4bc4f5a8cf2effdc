#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "engine/light_output.h"
#include "platform/dmx.h"

namespace glowtern {

enum class DmxMode : int32_t {
    Switch = 0,  // a band's channel is 0 or 255 with its channel state
    Level = 1,   // a band's channel follows its level
};

struct DmxSettings {
    bool enabled = false;
    uint32_t universe = 1;
    int32_t address = 1;  // the first channel, 1..512
    DmxMode mode = DmxMode::Switch;
    friend bool operator==(const DmxSettings&, const DmxSettings&) = default;
};

// Channels a frame takes from the start address on: the 18 bands, then the low, mid and
// high beats.
inline constexpr int kDmxFrameChannels = LightFrame::kBands + 3;
// The meter level that gives a full channel in the level mode.
inline constexpr float kDmxFullLevel = 40.0f;

// A band's level as a channel value: 0..40 scaled to 0..255, rounded; beyond either end
// (and NaN) clipped.
uint8_t DmxLevelValue(float level);

// The universe a frame makes: band n on channel address + n - 1, the beats on the three
// channels after them; every other channel 0. Channels that would lie past 512 are left
// out.
void MapDmxChannels(const LightFrame& frame, const DmxSettings& settings,
                    DmxChannelValues& channels);

// One DMX universe sent through the lighting daemon. The worker only leaves the newest
// universe in a one-slot mailbox; a thread of the output's own sends it when the daemon can
// take it, so a slow or missing daemon drops universes and never holds up the cycle. While
// the daemon cannot be reached it is tried again every 2 s. Switching the output off (or
// DMX off) sends a universe of zeros once, if connected, and closes the connection.
class DmxOutput final : public LightOutput {
  public:
    static constexpr std::chrono::seconds kRetry{2};

    // `link` null: the program was built without DMX; the output stays off.
    explicit DmxOutput(DmxLink* link) : link_(link) {}
    ~DmxOutput() override;

    // Main thread: the settings from the file or the tray menu. Switching DMX on starts
    // the sending thread, switching it off ends it (after the zeros).
    void configure(const DmxSettings& settings);
    DmxSettings settings() const;
    bool available() const { return link_ != nullptr; }

    // "off", "connecting", "connected", "olad not running" or "OLA not installed".
    std::string state() const override;

  protected:
    void send(const LightFrame& frame) override;
    void sendOff() override;

  private:
    enum class Link { Off, Connecting, Connected, Away, NoClient };

    void run();
    void stopSender();

    DmxLink* const link_;
    std::mutex senderMutex_;  // held while the sending thread is started or ended
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    DmxSettings settings_;          // guarded by mutex_
    DmxChannelValues mailbox_{};    // guarded: the newest universe
    bool fresh_ = false;            // guarded: the mailbox holds one not sent yet
    bool waitingForFrame_ = false;  // guarded: the sender sleeps until one comes
    bool stop_ = false;             // guarded
    Link linkState_ = Link::Off;    // guarded
    bool ended_ = false;            // guarded: switched off for good
    std::thread sender_;            // main thread (or the one switching off)
};

}  // namespace glowtern
