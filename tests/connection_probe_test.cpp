// The start-up probe against the HID spy: its verdict, its timing, and that the reader is
// gone before anything else touches the device.
#include <gtest/gtest.h>

#include <chrono>

#include "connection_probe.h"
#include "fake_hid_access.h"
#include "hid_access.h"
#include "wii_remote.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHidReset();
        DeviceHandle = 7;
        AccelX = 0x55;
    }
    void TearDown() override {
        StopReaderThread();
        EXPECT_FALSE(ReaderThread.joinable());
        EXPECT_EQ(ReaderActive, 0);
        EXPECT_FALSE(FakeHidMisuseSeen());
    }
};

TEST_F(Probe, PassesOnAccelerometerDataWithinTheWait) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 20);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ProbeConnection(), 1);
    EXPECT_GT(MsSince(start), 100.0);
    EXPECT_EQ(AccelX, 0x82);
}

TEST_F(Probe, FailsWhenTheDataComeOnlyAfterTheWait) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 250);
    EXPECT_EQ(ProbeConnection(), 0);
    EXPECT_EQ(AccelX, 0);  // cleared by the probe, nothing decoded since
}

TEST_F(Probe, FailsWhenTheFirstReportCarriesNoAccelerometerData) {
    FakeHidQueueReport({0x30, 0x00, 0x00}, 5);
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    EXPECT_EQ(ProbeConnection(), 0);
    EXPECT_EQ(FakeHidScriptLeft(), 1);  // the reader was pausing after its first read
}

TEST_F(Probe, FailsOnAZeroXReading) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x00, 0x82, 0x9C}, 5);
    EXPECT_EQ(ProbeConnection(), 0);
}

TEST_F(Probe, SilentRemoteFailsAndItsStuckReaderIsStopped) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ProbeConnection(), 0);
    EXPECT_GT(MsSince(start), 100.0);
    EXPECT_EQ(ReaderActive, 1);
    EXPECT_TRUE(FakeHidReadInProgress());
    StopReaderThread();
    EXPECT_FALSE(FakeHidReadInProgress());
    EXPECT_EQ(FakeHidStops, 1);
    EXPECT_EQ(FakeHidResumes, 1);  // later reads are the detection loop's to make
}

TEST_F(Probe, AReaderThatEndedByItselfIsOnlyJoined) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    EXPECT_EQ(ProbeConnection(), 1);
    Clock::time_point start = Clock::now();
    while (ReaderActive && MsSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopReaderThread();
    EXPECT_EQ(FakeHidStops, 0);
    EXPECT_EQ(FakeHidReads().size(), 1u);
}

TEST_F(Probe, AfterStoppingTheReaderOnlyTheMainThreadReads) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x90, 0x82, 0x9C});
    EXPECT_EQ(ProbeConnection(), 1);
    StopReaderThread();  // cuts the reader's pause short
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_EQ(AccelX, 0x90);
    std::vector<FakeHidCall> reads = FakeHidReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_NE(reads[0].thread, std::this_thread::get_id());
    EXPECT_EQ(reads[1].thread, std::this_thread::get_id());
}

TEST(WaitMilliseconds, NeverReturnsAtOrBeforeTheCount) {
    for (int32_t ms : {0, 1, 5, 100, 100, 100}) {
        Clock::time_point start = Clock::now();
        WaitMilliseconds(ms);
        EXPECT_GT(MsSince(start), ms);
    }
}

}  // namespace
