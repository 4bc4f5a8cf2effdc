// The kinds of lamp: how each maps a frame to its bytes, the order in which a cycle's frame
// and the end reach them, and DMX sent from a thread of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "outputs/dmx_output.h"
#include "outputs/port_output.h"
#include "outputs/usb_output.h"
#include "tests/support/fake_dmx_link.h"
#include "tests/support/program_rig.h"
#include "tests/support/test_window.h"

namespace glowtern {
namespace {

using ::testing::ElementsAre;
using testing::FakeDmxLink;
using Bytes = std::vector<uint8_t>;

LightFrame FrameWith(std::initializer_list<int> bandsOn, bool decided = true) {
    LightFrame frame;
    for (int band : bandsOn) {
        frame.channels[band - 1] = true;
    }
    frame.bandsDecided = decided;
    return frame;
}

TEST(PortOutput, LinesFollowTheBandsDecidedOn) {
    // Each band alone: bands 4..11 raise D0..D7; 12, 13 and 15 clear the inverted Strobe,
    // Auto Feed and Select In bits, 14 sets Initialize; the rest drive none.
    const std::array<int, 18> data = {0,    0,    0, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20,
                                      0x40, 0x80, 0, 0,    0,    0,    0,    0,    0};
    const std::array<int, 18> control = {0x0B, 0x0B, 0x0B, 0x0B, 0x0B, 0x0B, 0x0B, 0x0B, 0x0B,
                                         0x0B, 0x0B, 0x0A, 0x09, 0x0F, 0x03, 0x0B, 0x0B, 0x0B};
    for (int band = 1; band <= 18; ++band) {
        const PortBytes bytes = PortBytesFor(FrameWith({band}), true);
        EXPECT_EQ(bytes, (PortBytes{static_cast<uint8_t>(data[band - 1]),
                                    static_cast<uint8_t>(control[band - 1])}))
            << "band " << band;
    }
    LightFrame all = FrameWith({});
    all.channels.fill(true);
    EXPECT_EQ(PortBytesFor(all, true), (PortBytes{0xFF, 0x04}));
    EXPECT_EQ(PortBytesFor(FrameWith({4, 12, 14}), true), (PortBytes{0x01, 0x0E}));
    // LPT unticked, or bands kept from an earlier cycle: every line at rest.
    EXPECT_EQ(PortBytesFor(all, false), (PortBytes{0x00, 0x0B}));
    all.bandsDecided = false;
    EXPECT_EQ(PortBytesFor(all, true), (PortBytes{0x00, 0x0B}));
}

class UsbOutputTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::DefineEngineControls(controls); }
    void SelectAll(int band) {
        for (int output = 1; output <= 18; ++output) {
            controls.setState(outputSelector(output), band);
        }
    }
    Bytes Reports(const LightFrame& frame) const {
        const UsbReportBytes bytes = UsbReportBytesFor(frame, controls);
        return Bytes(bytes.begin(), bytes.end());
    }
    ControlModel controls;
};

TEST_F(UsbOutputTest, ReportsCarryTheStatesOfTheSelectedBands) {
    LightFrame all = FrameWith({});
    all.channels.fill(true);
    for (const auto& [selected, bytes] :
         {std::pair{9, Bytes{0x3F, 0x7F, 0xBF}}, std::pair{0, Bytes{0x00, 0x40, 0x80}},
          std::pair{-1, Bytes{0x00, 0x40, 0x80}}}) {
        SelectAll(selected);
        EXPECT_EQ(Reports(all), bytes) << "all outputs on " << selected;
    }
    // OUT1..OUT18 alone, by the device's pins: PD0 PD1 PD3 PD5 PD6 PD7, PB0 PB1 PB2 PB3
    // PB4 PB5, PC0 PC1 PC2 PC3 PC4 PC5. The two high bits name the report.
    const std::array<uint8_t, 18> alone = {0x81, 0x82, 0x84, 0x88, 0x90, 0xA0, 0x60, 0x48, 0x42,
                                           0x41, 0x50, 0x44, 0x20, 0x10, 0x08, 0x04, 0x01, 0x02};
    for (int output = 1; output <= 18; ++output) {
        SelectAll(0);
        controls.setState(outputSelector(output), 19 - output);  // any band that is on
        Bytes expected = {0x00, 0x40, 0x80};
        expected[alone[output - 1] >> 6] = alone[output - 1];
        EXPECT_EQ(Reports(all), expected) << "OUT" << output;
    }
    // A selector naming a band that is off gives 0; one band may drive many outputs; the
    // states count whether or not this cycle decided them.
    SelectAll(5);
    for (int output : {1, 10, 18}) {
        controls.setState(outputSelector(output), 4);
    }
    EXPECT_EQ(Reports(FrameWith({4}, false)), (Bytes{0x02, 0x41, 0x81}));
}

// The registered outputs, on the program's fakes: a frame reaches the lock LEDs, then the
// port's registers, then the USB device's three reports; the end switches the lamps off in
// the reverse order, and nothing written after the close reaches a lamp.
TEST(LightOutputs, ACycleWritesInOrderAndTheEndSwitchesOffInReverse) {
    testing::ProgramRig rig;
    Program& program = rig.program;
    CreateMainWindowControls(rig.toolkit);
    rig.hidState.plug({.path = "/dev/hidraw3", .vendorId = 0xAAAA, .productId = 0xEF22});
    PrepareHidAccess(program.usb, program.platform.hid);
    BindPortLibrary(program.port, program.platform.portModule);
    PollUsbDevice(program.usb, rig.toolkit.controls());
    rig.toolkit.controls().setState(outputSelector(2), 5);
    rig.toolkit.controls().setState(kKeyCheckBox, 1);
    rig.toolkit.controls().setState(kLptCheckBox, 1);
    for (LightOutput* output : program.outputs.inOrder()) {
        output->open();
    }
    rig.keyboardState.setLocked(LockKey::CapsLock, true);
    program.savedLeds.capsLock = 1;
    LightFrame frame = FrameWith({5});
    frame.beats = {true, false, false};
    rig.log.clear();

    for (LightOutput* output : program.outputs.inOrder()) {
        output->write(frame);
    }
    EXPECT_THAT(rig.log.entries(),
                ElementsAre("lockKeyState NumLock", "pressAndRelease NumLock",
                            "lockKeyState CapsLock", "pressAndRelease CapsLock",
                            "lockKeyState ScrollLock", "PortOut 0x378 0x02", "PortOut 0x37A 0x0B",
                            "hidWrite 0x00 0x00", "hidWrite 0x00 0x40", "hidWrite 0x00 0x82"));
    rig.log.clear();
    CloseOutputs(program.outputs);
    for (LightOutput* output : program.outputs.inOrder()) {
        output->write(frame);
    }
    SwitchLampsOff(program.outputs);
    SwitchDisplayOutputsOff(program.outputs);
    SwitchLampsOff(program.outputs);  // once only
    EXPECT_THAT(rig.log.entries(),
                ElementsAre("hidWrite 0x00 0x00", "hidWrite 0x00 0x40", "hidWrite 0x00 0x80",
                            "PortOut 0x378 0x00", "PortOut 0x37A 0x0B", "lockKeyState NumLock",
                            "pressAndRelease NumLock", "lockKeyState CapsLock",
                            "pressAndRelease CapsLock", "lockKeyState ScrollLock"));
    UnbindPortLibrary(program.port);
}

TEST(DmxMapping, BandsThenBeatsFromTheStartAddressClippedAt512) {
    LightFrame frame = FrameWith({1, 5, 18});
    frame.levels = {
        0.0f,  1.0f, 20.0f, 40.0f, 55.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
        0.08f, 39.9f};
    frame.beats = {true, false, true};
    const auto channels = [&](int address, DmxMode mode) {
        DmxChannelValues values;
        values.fill(7);
        MapDmxChannels(frame, {.enabled = true, .address = address, .mode = mode}, values);
        return values;
    };
    struct Case {
        int address;
        DmxMode mode;
        std::vector<std::pair<int, int>> lit;  // channel, value; every other channel 0
    };
    const std::vector<Case> cases = {
        {1, DmxMode::Switch, {{1, 255}, {5, 255}, {18, 255}, {19, 255}, {21, 255}}},
        // 0..40 scaled to 0..255 and rounded; beyond 40 full, below 0 and NaN dark.
        {1,
         DmxMode::Level,
         {{2, 6}, {3, 128}, {4, 255}, {5, 255}, {8, 1}, {9, 254}, {19, 255}, {21, 255}}},
        {100, DmxMode::Switch, {{100, 255}, {104, 255}, {117, 255}, {118, 255}, {120, 255}}},
        {492, DmxMode::Switch, {{492, 255}, {496, 255}, {509, 255}, {510, 255}, {512, 255}}},
        {500, DmxMode::Switch, {{500, 255}, {504, 255}}},  // bands 14.. and the beats left out
        {512, DmxMode::Switch, {{512, 255}}},
    };
    for (const Case& c : cases) {
        DmxChannelValues expected{};
        for (const auto& [channel, value] : c.lit) {
            expected[channel - 1] = static_cast<uint8_t>(value);
        }
        EXPECT_EQ(channels(c.address, c.mode), expected)
            << "address " << c.address << " mode " << static_cast<int>(c.mode);
    }
}

DmxChannelValues ChannelsOf(const LightFrame& frame, const DmxSettings& settings) {
    DmxChannelValues values;
    MapDmxChannels(frame, settings, values);
    return values;
}

TEST(DmxOutput, SendsTheNewestUniverseFromItsOwnThreadAndZerosAtTheEnd) {
    FakeDmxLink link;
    DmxOutput dmx(&link);
    const DmxSettings settings{.enabled = true, .universe = 7, .address = 10};
    EXPECT_EQ(dmx.state(), "off");
    dmx.write(FrameWith({1}));  // off: nothing goes anywhere
    dmx.configure(settings);
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.connects == 1; }));
    EXPECT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "connected"; }));

    // A daemon that does not take the universe holds up neither the writer nor the cycle:
    // of the universes written meanwhile only the newest is sent.
    link.set(&FakeDmxLink::held, true);
    dmx.write(FrameWith({1}));
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.sending(); }));
    for (int band = 2; band <= 18; ++band) {
        dmx.write(FrameWith({band}));
    }
    link.set(&FakeDmxLink::held, false);
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.sent.size() == 2; }));
    EXPECT_EQ(link.sent[0].second, ChannelsOf(FrameWith({1}), settings));
    EXPECT_EQ(link.sent[1].second, ChannelsOf(FrameWith({18}), settings));
    EXPECT_EQ(link.sent[1].first, 7u);

    // Switched off: one universe of zeros, then the connection closes; later writes stay.
    dmx.switchOff();
    dmx.write(FrameWith({3}));
    EXPECT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(link.sent.back(), (std::pair{7u, DmxChannelValues{}}));
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(dmx.state(), "off");
    dmx.configure(settings);  // after the end, nothing starts again
    EXPECT_EQ(link.connects, 1);
}

TEST(DmxOutput, AMissingDaemonOrClientIsTriedAgainEveryTwoSecondsAndTheUniverseSentOnceBack) {
    FakeDmxLink link;
    link.answers = false;
    link.loaded = false;
    DmxOutput dmx(&link);
    const auto start = std::chrono::steady_clock::now();
    dmx.configure({.enabled = true});
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.connects == 1; }));
    EXPECT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "OLA not installed"; }));
    link.set(&FakeDmxLink::loaded, true);  // installed meanwhile: found at the next attempt
    // Frames keep coming; the sender sleeps until the next attempt all the same.
    for (int i = 0; i < 20; ++i) {
        dmx.write(FrameWith({2}));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.connects == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, DmxOutput::kRetry);
    link.set(&FakeDmxLink::answers, true);
    dmx.write(FrameWith({2}));
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return !l.sent.empty(); }));
    EXPECT_EQ(link.connects, 3);
    EXPECT_EQ(link.sent.back().second, ChannelsOf(FrameWith({2}), {.enabled = true}));

    // Lost mid-show: found again; DMX unticked sends the zeros and lets go of it.
    link.set(&FakeDmxLink::answers, false);
    dmx.write(FrameWith({3}));
    ASSERT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "olad not running"; }));
    link.set(&FakeDmxLink::answers, true);
    ASSERT_TRUE(link.waitFor([&](FakeDmxLink& l) {
        dmx.write(FrameWith({4}));
        return !l.sent.empty() && l.sent.back().second[3] == 255;
    }));
    dmx.configure({.enabled = false});
    EXPECT_EQ(link.sent.back().second, DmxChannelValues{});
    EXPECT_EQ(dmx.state(), "off");
}

}  // namespace
}  // namespace glowtern
