// The detection loop on the hidapi layer, over the double of hidapi, while the remote drops
// and comes back: no pass while it is away, ESC still quits, and a fall after its return alerts.
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
const std::vector<uint8_t> Weightless{0x31, 0x00, 0x00, 0x80, 0x80, 0x80};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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

TEST_F(Reconnect, AFallAfterTheRemoteComesBackSoundsTheAlarm) {
    int startsWhileAway = -1;
    std::thread remote([&] {
        HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead(Weightless);
        SleepMs(300);
        HidapiDoubleSetPresent(false);  // the readings in the window stay as they were
        SleepMs(2000);
        startsWhileAway = FakeClipPlayerStarts;
        HidapiDoubleSetPresent(true);
        for (int i = 0; i < 300 && HidapiDoubleRecord().written.size() < 4; ++i) SleepMs(10);
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Weightless);
        HidapiDoubleQueueRead({0x30, 0x00, 0x80});
    });
    RunFallDetection();
    remote.join();
    EXPECT_EQ(startsWhileAway, 0) << "a pass was counted while the remote was away";
    EXPECT_EQ(FakeClipPlayerStarts, 1);
    std::vector<HidapiWrite> written = HidapiDoubleRecord().written;
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[2].bytes, (std::vector<uint8_t>{0x12, 0x00, 0x31}));
    EXPECT_EQ(written[2].device, 2);
    EXPECT_EQ(written[3].bytes, (std::vector<uint8_t>{0x11, 0x10}));
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
