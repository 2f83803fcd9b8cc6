// The detection loop and the remote's conversation on the hidapi layer, over the double of
// hidapi, while the remote falls silent, drops and comes back: no pass while it is silent or
// away, it is told again what it was told and said to be lost and back, ESC still quits, and a
// fall after its return alerts.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "call_journal.h"
#include "console_keys.h"
#include "fake_clip_player.h"
#include "fake_console_keys.h"
#include "fake_message_box.h"
#include "fake_remote_clock.h"
#include "fall_detection.h"
#include "hid_access.h"
#include "hidapi_double.h"
#include "wii_remote.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
const Bytes Weightless{0x31, 0x00, 0x00, 0x80, 0x80, 0x80};
const Bytes AtRest{0x31, 0x00, 0x00, 0x82, 0x82, 0x9C};
const Bytes ModeCommand{0x12, 0x00, 0x31};
const Bytes LedsCommand{0x11, 0x10};
const Bytes StatusRequest{0x15, 0x00};
const Bytes Told[] = {ModeCommand, LedsCommand, StatusRequest};  // again and again, watching

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What this device was written, but for memory reads (17 00 00 00 16 00 14: the calibration), or only them.
std::vector<HidapiWrite> WritesTo(int device, bool calibrationReads = false) {
    std::vector<HidapiWrite> writes;
    for (const HidapiWrite& write : HidapiDoubleRecord().written)
        if (write.device == device && (write.bytes[0] == 0x17) == calibrationReads) writes.push_back(write);
    return writes;
}

void WaitForNotices(int count) {
    for (int i = 0; i < 2000 && JournalCount("notice") < count; ++i) SleepMs(5);
}

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

class Reconnect : public ::testing::Test {
protected:
    void SetUp() override {
        HidapiDoubleReset();
        FakeKeysReset();
        FakeClipPlayerReset();
        FakeMessageBoxReset();
        JournalClear();
        ButtonByte2 = 0;  // no Home left from the case before
        FakeClockReset();
        DeviceHandle = OpenHidHandle(WiiRemoteVendorId, WiiRemoteProductId);
        ASSERT_NE(DeviceHandle, NoHidHandle);
        SetReportingMode(0x00, ButtonsAccelReport);
        SetLeds(0x10);
        BeginWatching();
    }
    void TearDown() override { CloseHidHandle(DeviceHandle); }
};

TEST_F(Reconnect, ASilentOrLostRemoteIsToldAgainSaidLostAndBackAndAFallAfterItsReturnSoundsTheAlarm) {
    int startsWhileSilent = -1, startsWhileAway = -1;
    std::thread remote([&] {
        HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead(Weightless);
        WaitForNotices(1);  // the link went silent: reads only time out, requests go unanswered
        startsWhileSilent = FakeClipPlayerStarts;
        HidapiDoubleQueueRead(AtRest);
        WaitForNotices(2);
        HidapiDoubleSetPresent(false);  // the node goes, and reads fail
        WaitForNotices(3);
        startsWhileAway = FakeClipPlayerStarts;
        HidapiDoubleSetPresent(true);
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead({0x31, 0x00, 0x80, 0x82, 0x82, 0x9C});  // Home
    });
    RunFallDetection();
    remote.join();
    EXPECT_EQ(startsWhileSilent, 0) << "a pass was counted while the remote was silent";
    EXPECT_EQ(startsWhileAway, 0) << "a pass was counted while the remote was away";
    EXPECT_EQ(FakeClipPlayerStarts, 1);
    ASSERT_EQ(FakeNotices, (std::vector<std::string>{"Wii-Remote lost.", "Wii-Remote back.", "Wii-Remote lost.",
                                                     "Wii-Remote back."}));
    std::vector<Clock::time_point> reported = HidapiDoubleRecord().reportedAt;
    ASSERT_EQ(reported.size(), 7u);
    for (auto [lost, lastReport] : {std::pair{0, 1}, std::pair{2, 2}}) {
        double silentMs = MsBetween(reported[lastReport], FakeNoticeTimes[lost]);
        EXPECT_TRUE(silentMs >= 3000 && silentMs <= 4000) << "lost after " << silentMs << " ms";
    }
    for (auto [back, report] : {std::pair{1, 2}, std::pair{3, 3}})
        EXPECT_TRUE(FakeNoticeTimes[back] >= reported[report] && FakeNoticeTimes[back] < reported[report + 1])
            << "back on the first report, not on reopening";
    // Device 1: told at the start, after each second of silence and when back. Device 2: told on
    // reopening, and again when heard from.
    std::vector<HidapiWrite> first = WritesTo(1), second = WritesTo(2);
    ASSERT_GE(first.size(), 12u);
    ASSERT_EQ(second.size(), 6u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(first[i].bytes, Told[i % 3]) << "write " << i;
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(second[i].bytes, Told[i % 3]) << "write " << i;
    EXPECT_FALSE(WritesTo(2, true).empty()) << "its calibration read again: it may be another remote";
    EXPECT_GE(first[3].at - reported[1], std::chrono::seconds(1));
    EXPECT_GE(first[6].at - first[3].at, std::chrono::seconds(1));
}

Bytes Block(uint8_t zeroG, int oneGAbove, int wrong = 0) {  // its checksum off by `wrong`
    const auto oneG = static_cast<uint8_t>(zeroG + oneGAbove);
    Bytes block{zeroG, zeroG, zeroG, 0x00, oneG, oneG, oneG, 0x00, 0x40};
    block.push_back(static_cast<uint8_t>(std::accumulate(block.begin(), block.end(), 0x55 + wrong)));
    return block;
}

std::vector<Bytes> Answer(Bytes first, const Bytes& second) {  // to the read of both: at 0x0016, then 0x0026
    first.insert(first.begin(), {0x21, 0x00, 0x00, 0xF0, 0x00, 0x16});
    first.insert(first.end(), second.begin(), second.begin() + 6);
    return {first, {0x21, 0x00, 0x00, 0x30, 0x00, 0x26, second[6], second[7], second[8], second[9]}};
}

TEST_F(Reconnect, TheFirstCalibrationBlockThatCountsCentresTheWindowOnEachAxisElse123To133) {
    HidapiDoubleQueueRead({0x21, 0x00, 0x00, 0xF0, 0x00, 0x20, 0x86, 0x86, 0x86});  // the kernel driver's reads
    HidapiDoubleQueueRead({0x21, 0x00, 0x00, 0x90, 0x00, 0x16, 0x86, 0x86, 0x86});
    for (const Bytes& part : Answer({0x84, 0x82, 0x86, 0x30, 0x9F, 0x9D, 0x9F, 0x02, 0x40, 0x2E}, Block(128, 26)))
        HidapiDoubleQueueRead(part);  // zero-g at 132, 130, 134, as a real remote's
    for (auto [x, y, z, sounds] : {std::tuple{132, 130, 134, 1}, {127, 125, 129, 1}, {137, 135, 139, 1},
                                   {128, 128, 128, 0}, {132, 130, 140, 0}, {126, 130, 134, 0}}) {
        int before = FakeClipPlayerStarts;
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Bytes{0x31, 0, 0, uint8_t(x), uint8_t(y), uint8_t(z)});
        HidapiDoubleQueueRead({0x31, 0x00, 0x80, 0x82, 0x82, 0x9C});  // Home
        RunFallDetection();
        EXPECT_EQ(FakeClipPlayerStarts - before, sounds) << x << " " << y << " " << z;
    }
    // Answered, well or badly, it is asked no more; never answered, three times, 250 ms apart.
    FakeClockHoldUntil([] { return false; });  // only FakeClockAdvance moves the remote's time
    for (auto [answer, zeroG, times] :
         {std::tuple{Answer(Block(130, 26, 1), Block(140, 26)), 140, 1u}, {Answer(Block(130, 26, 1), Block(140, 26, -1)), 128, 1u},
          {Answer(Block(95, 26), Block(161, 26)), 128, 1u}, {Answer(Block(96, 10), Block(160, 11)), 160, 1u},
          {std::vector<Bytes>{{0x21, 0x00, 0x00, 0x08, 0x00, 0x16}}, 128, 1u}, {std::vector<Bytes>{}, 128, 3u}}) {
        const size_t asked = WritesTo(1, true).size();
        BeginWatching();
        for (const Bytes& part : answer) HidapiDoubleQueueRead(part);
        for (int ms : {249, 2, 251, 251}) {
            FakeClockAdvance(ms);
            ReadInputReport(0);
            EXPECT_TRUE(ms != 249 || WritesTo(1, true).size() - asked == 1) << "asked again before 250 ms";
        }
        EXPECT_EQ((Bytes{ZeroGX, ZeroGY, ZeroGZ}), Bytes(3, uint8_t(zeroG))) << zeroG;
        EXPECT_EQ(WritesTo(1, true).size() - asked, times);
    }
}

TEST_F(Reconnect, EscQuitsWhileTheRemoteIsAway) {
    HidapiDoubleSetPresent(false);
    Clock::time_point pressed;
    std::thread console([&] {
        SleepMs(1500);
        pressed = Clock::now();
        FakeKeysPress(EscKeyCode);
    });
    RunFallDetection();
    double tookMs = MsBetween(pressed, Clock::now());
    console.join();
    EXPECT_LT(tookMs, 200.0);
    EXPECT_EQ(FakeClipPlayerStarts, 0);
}

}  // namespace
