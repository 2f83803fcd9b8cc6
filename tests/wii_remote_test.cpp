// Decoding of input reports, the bytes of the commands, and the remote told its mode again when
// it strays from it, against the HID spy.
#include <gtest/gtest.h>

#include <cstring>

#include "call_journal.h"
#include "fake_hid_access.h"
#include "fake_message_box.h"
#include "fake_remote_clock.h"
#include "hid_access.h"
#include "remote_clock.h"
#include "wii_remote.h"

namespace {

class WiiRemote : public ::testing::Test {
protected:
    void SetUp() override {
        DeviceHandle = 7;
        FakeClockReset();
        SetReportingMode(0x00, 0x31);
        FakeHidReset();
        std::memset(InputReport, 0, sizeof InputReport);
        std::memset(OutputReport, 0, sizeof OutputReport);
        for (std::atomic<uint8_t>* byte : {&ButtonByte1, &ButtonByte2, &AccelX, &AccelY, &AccelZ})
            *byte = 0x55;
    }
    static std::vector<uint8_t> State() {
        return {ButtonByte1, ButtonByte2, AccelX, AccelY, AccelZ};
    }
};

TEST_F(WiiRemote, DecodesButtonsAndAccelerometerOfReport31) {
    FakeHidQueueReport({0x31, 0x10, 0x80, 0x7F, 0x81, 0x84});
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_EQ(State(), (std::vector<uint8_t>{0x10, 0x80, 0x7F, 0x81, 0x84}));
}

TEST_F(WiiRemote, Report30ChangesOnlyTheButtons) {
    FakeHidQueueReport({0x31, 0x10, 0x80, 0x7F, 0x81, 0x84});
    FakeHidQueueReport({0x30, 0x02, 0x08, 0x01, 0x02, 0x03});
    ReadInputReport(WaitWithoutLimit);
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_EQ(State(), (std::vector<uint8_t>{0x02, 0x08, 0x7F, 0x81, 0x84}));
}

TEST_F(WiiRemote, OtherReportsLeaveTheStateAndAnotherModesReportsHaveTheModeWrittenAgainSparingly) {
    FakeHidQueueReport({0x21, 0x01, 0x02, 0x03, 0x04, 0x05});
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_TRUE(FakeHidWrites().empty()) << "no data report";
    for (int i = 0; i < 40; ++i) FakeHidQueueReport({0x35, 0x01, 0x02, 0x03, 0x04, 0x05, 0x11});
    for (int i = 0; i < 40; ++i) EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_EQ(State(), (std::vector<uint8_t>(5, 0x55)));
    const std::vector<uint8_t> mode{0x12, 0x00, 0x31};
    ASSERT_EQ(FakeHidWrites().size(), 1u) << "at most four times a second";
    EXPECT_EQ(FakeHidWrites()[0].bytes, mode);
    FakeClockAdvance(250);
    FakeHidQueueReport({0x30, 0x01, 0x02});
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    ASSERT_EQ(FakeHidWrites().size(), 2u);
    EXPECT_EQ(FakeHidWrites()[1].bytes, mode);
}

TEST_F(WiiRemote, NoReportWithinTheWaitIsNoReadAndDecodesNothing) {
    InputReport[0] = 0x31;  // what an earlier report left in the buffer
    InputReport[3] = 0x01;
    EXPECT_EQ(ReadInputReport(20), 0);
    EXPECT_EQ(State(), (std::vector<uint8_t>(5, 0x55)));
}

TEST_F(WiiRemote, CommandsShareTheOutputBufferAndWriteOnlyTheirOwnBytes) {
    SetReportingMode(0x00, 0x31);
    SetLeds(0x10);
    EXPECT_EQ(OutputReport[0], 0x11);
    EXPECT_EQ(OutputReport[1], 0x10);
    EXPECT_EQ(OutputReport[2], 0x31);
    std::vector<FakeHidCall> writes = FakeHidWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{0x12, 0x00, 0x31}));
    EXPECT_EQ(writes[1].bytes[0], 0x11);
    EXPECT_EQ(writes[1].bytes[1], 0x10);
}

TEST_F(WiiRemote, StatusIsAskedForAtStartAndEveryMinuteEachAnswerHasTheModeWrittenAtOnceAndALowBatteryIsSaidOnce) {
    FakeMessageBoxReset();
    JournalClear();
    SetReportingMode(0x04, 0x31);
    const int64_t startMs = RemoteClockMs();
    BeginWatching();
    const std::vector<uint8_t> mode{0x12, 0x04, 0x31};
    auto requests = [] { return JournalCount("hid write 15 00"); };
    EXPECT_EQ(requests(), 1);
    // Low by its flag, low again, new cells twice, and low by its level alone.
    for (auto [flags, level] : {std::pair{0x01, 0x18}, {0x01, 0x18}, {0x00, 0xC0}, {0x00, 0xC0}, {0x00, 0x1F}}) {
        FakeHidQueueReport({0x20, 0x00, 0x00, static_cast<uint8_t>(flags), 0x00, 0x00, static_cast<uint8_t>(level)});
        EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
        EXPECT_EQ(FakeHidWrites().back().bytes, mode) << "no data reports until the mode is written";
    }
    EXPECT_EQ(FakeNotices, (std::vector<std::string>{"Wii-Remote battery low.", "Wii-Remote battery low."}));
    EXPECT_EQ(State(), (std::vector<uint8_t>(5, 0x55)));
    int64_t askedAgainAtMs = 0;
    for (int step = 0; step < 130; ++step) {  // 65 s, in steps far shorter than a silence
        FakeClockAdvance(500);
        FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C});
        ReadInputReport(WaitWithoutLimit);
        if (askedAgainAtMs == 0 && requests() == 2) askedAgainAtMs = RemoteClockMs() - startMs;
    }
    EXPECT_EQ(requests(), 2);
    EXPECT_TRUE(askedAgainAtMs >= 60000 && askedAgainAtMs <= 60600) << askedAgainAtMs;
}

}  // namespace
