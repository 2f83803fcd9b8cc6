// The detection loop on the hidapi layer, over the double of hidapi, while the remote falls
// silent, drops and comes back: no pass while it is silent or away, it is told again what it was
// told, ESC still quits, and a fall after its return alerts.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "console_keys.h"
#include "fake_clip_player.h"
#include "fake_console_keys.h"
#include "fall_detection.h"
#include "hid_access.h"
#include "hidapi_double.h"
#include "wii_remote.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
const Bytes Weightless{0x31, 0x00, 0x00, 0x80, 0x80, 0x80};
const Bytes ModeCommand{0x12, 0x00, 0x31};
const Bytes LedsCommand{0x11, 0x10};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<HidapiWrite> WritesTo(int device) {
    std::vector<HidapiWrite> writes;
    for (const HidapiWrite& write : HidapiDoubleRecord().written)
        if (write.device == device) writes.push_back(write);
    return writes;
}

void WaitForWrites(int device, size_t count) {
    for (int i = 0; i < 2000 && WritesTo(device).size() < count; ++i) SleepMs(10);
}

// These writes tell the remote its mode and then its LEDs, again and again.
void ExpectModeThenLeds(const std::vector<HidapiWrite>& writes) {
    for (size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(writes[i].bytes, i % 2 ? LedsCommand : ModeCommand) << "write " << i;
}

class Reconnect : public ::testing::Test {
protected:
    void SetUp() override {
        HidapiDoubleReset();
        FakeKeysReset();
        FakeClipPlayerReset();
        DeviceHandle = OpenHidHandle(WiiRemoteVendorId, WiiRemoteProductId);
        ASSERT_NE(DeviceHandle, NoHidHandle);
        SetReportingMode(0x00, ButtonsAccelReport);
        SetLeds(0x10);
    }
    void TearDown() override { CloseHidHandle(DeviceHandle); }
};

TEST_F(Reconnect, ASilentOrLostRemoteIsToldAgainAndAFallAfterItsReturnSoundsTheAlarm) {
    int startsWhileSilent = -1, startsWhileAway = -1;
    std::thread remote([&] {
        HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead(Weightless);
        WaitForWrites(1, 6);  // the readings in the window stay as they were
        startsWhileSilent = FakeClipPlayerStarts;
        HidapiDoubleSetPresent(false);
        SleepMs(2000);
        startsWhileAway = FakeClipPlayerStarts;
        HidapiDoubleSetPresent(true);
        WaitForWrites(2, 2);
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead({0x31, 0x00, 0x80, 0x82, 0x82, 0x9C});  // Home
    });
    RunFallDetection();
    remote.join();
    EXPECT_EQ(startsWhileSilent, 0) << "a pass was counted while the remote was silent";
    EXPECT_EQ(startsWhileAway, 0) << "a pass was counted while the remote was away";
    EXPECT_EQ(FakeClipPlayerStarts, 1);
    std::vector<HidapiWrite> silent = WritesTo(1), back = WritesTo(2);
    ASSERT_GE(silent.size(), 6u);
    ExpectModeThenLeds(silent);
    // Told again after 1 s without a report, and again after each further second.
    Clock::time_point lastReport = HidapiDoubleRecord().reportedAt.at(1);
    EXPECT_GE(silent[2].at - lastReport, std::chrono::seconds(1));
    EXPECT_GE(silent[4].at - silent[3].at, std::chrono::seconds(1));
    ASSERT_GE(back.size(), 2u);
    ExpectModeThenLeds(back);
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
    double tookMs = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
    console.join();
    EXPECT_LT(tookMs, 200.0);
    EXPECT_EQ(FakeClipPlayerStarts, 0);
}

}  // namespace
