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
#include "tests/support/program_rig.h"

namespace glowtern {
namespace {

using ::testing::ElementsAre;
using testing::FakeDmxLink;
using testing::FrameWith;
using Bytes = std::vector<uint8_t>;

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

TEST(UsbOutput, ReportsCarryTheStatesOfTheSelectedBands) {
    ControlModel controls;
    testing::DefineMainWindowControls(controls);
    const auto SelectAll = [&](int band) {
        for (int output = 1; output <= 18; ++output) {
            controls.setState(outputSelector(output), band);
        }
    };
    const auto Reports = [&](const LightFrame& frame) {
        const UsbReportBytes bytes = UsbReportBytesFor(frame, controls);
        return Bytes(bytes.begin(), bytes.end());
    };
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
        {492, DmxMode::Switch, {{492, 255}, {496, 255}, {509, 255}, {510, 255}, {512, 255}}},
        {500, DmxMode::Switch, {{500, 255}, {504, 255}}},  // bands 14.. and the beats left out
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

// A missing daemon is tried again now and then (not on every frame) and the universe sent
// once it is back; one that does not take the universe holds up neither the writer nor the
// cycle, and only the newest universe goes out after it; a lost one is found again. Unticked,
// and at the end, one universe of zeros goes out and the connection closes; after the end
// nothing starts again.
TEST(DmxOutput, SendsTheNewestUniverseFromItsOwnThreadAndZerosAtTheEnd) {
    FakeDmxLink link;
    link.answers = false;
    link.loaded = false;
    DmxOutput dmx(&link);
    const DmxSettings settings{.enabled = true, .universe = 7};
    EXPECT_EQ(dmx.state(), "off");
    dmx.write(FrameWith({1}));  // off: nothing goes anywhere
    dmx.configure(settings);
    EXPECT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "OLA not installed"; }));
    link.set(&FakeDmxLink::loaded, true);  // installed meanwhile: found at the next attempt
    EXPECT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "olad not running"; }));
    link.set(&FakeDmxLink::answers, true);
    // Writes the band's frame until it has gone to universe 7. The writer may still have one
    // more of it to send, so what it sends is read in waitFor's condition until it is idle.
    const auto sends = [&](int band) {
        return link.waitFor([&](FakeDmxLink& l) {
            dmx.write(FrameWith({band}));
            return !l.sent.empty() &&
                   l.sent.back() == std::pair{7u, ChannelsOf(FrameWith({band}), settings)};
        });
    };
    ASSERT_TRUE(sends(2));
    EXPECT_EQ(link.connects, 3);  // no client, no daemon, then both
    EXPECT_EQ(dmx.state(), "connected");

    // The universe held up is band 1's, or band 2's when the writer still had that one.
    link.set(&FakeDmxLink::held, true);
    dmx.write(FrameWith({1}));
    size_t sentBefore = 0;
    ASSERT_TRUE(link.waitFor([&](FakeDmxLink& l) {
        sentBefore = l.sent.size();
        return l.sending();
    }));
    for (int band = 2; band <= 18; ++band) {
        dmx.write(FrameWith({band}));
    }
    link.set(&FakeDmxLink::held, false);
    ASSERT_TRUE(link.waitFor([](FakeDmxLink& l) { return l.sent.back().second[17] == 255; }));
    ASSERT_EQ(link.sent.size(), sentBefore + 2);
    EXPECT_THAT(link.sent.end()[-2].second, ::testing::AnyOf(ChannelsOf(FrameWith({1}), settings),
                                                             ChannelsOf(FrameWith({2}), settings)));

    link.set(&FakeDmxLink::answers, false);
    dmx.write(FrameWith({3}));
    ASSERT_TRUE(link.waitFor([&](FakeDmxLink&) { return dmx.state() == "olad not running"; }));
    link.set(&FakeDmxLink::answers, true);
    ASSERT_TRUE(sends(4));

    for (const bool end : {false, true}) {
        if (end) {
            dmx.configure(settings);
            ASSERT_TRUE(sends(5));
            dmx.switchOff();
        } else {
            dmx.configure({.enabled = false});
        }
        EXPECT_EQ(link.sent.back().second, DmxChannelValues{});
        EXPECT_EQ(link.closes, end ? 2 : 1);
        EXPECT_EQ(dmx.state(), "off");
    }
    const size_t sent = link.sent.size();
    const int connects = link.connects;
    dmx.write(FrameWith({3}));
    dmx.configure(settings);
    EXPECT_EQ(link.sent.size(), sent);
    EXPECT_EQ(link.connects, connects);
}

}  // namespace
}  // namespace glowtern
