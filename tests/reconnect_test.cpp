// The detection loop and the remote's conversation on the hidapi layer, over the double of
// hidapi, while the remote falls silent, drops and comes back: no pass while it is silent or
// away, it is told again what it was told and said to be lost and back, ESC still quits, and a
// fall after its return alerts.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "call_journal.h"
#include "console_keys.h"
#include "fake_clip_player.h"
#include "fake_console_keys.h"
#include "fake_message_box.h"
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

std::vector<HidapiWrite> WritesTo(int device) {
    std::vector<HidapiWrite> writes;
    for (const HidapiWrite& write : HidapiDoubleRecord().written)
        if (write.device == device) writes.push_back(write);
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
    EXPECT_GE(first[3].at - reported[1], std::chrono::seconds(1));
    EXPECT_GE(first[6].at - first[3].at, std::chrono::seconds(1));
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
