// The start-up probe against the HID spy: its verdict, its timing, and that the reader is
// gone before anything else touches the device.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "connection_probe.h"
#include "fake_hid_access.h"
#include "fake_remote_clock.h"
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
        FakeClockReset();
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

// A report that comes only once the probe is over. Queued for a second read, which a main
// thread held up past the reader's pause allows, it keeps the reader from reading a third.
constexpr int32_t AfterTheProbe = FakeHidUntilReleased;

// The probe's wait is on the remote's clock, held in the tests that pass until the data are in.
TEST_F(Probe, PassesOnAccelerometerDataWithinTheWait) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 20);
    FakeClockHoldUntil([] { return AccelX != 0; });
    EXPECT_EQ(ProbeConnection(), 1);
    EXPECT_EQ(AccelX, 0x82);
}

TEST_F(Probe, FailsWhenTheDataComeOnlyAfterTheWait) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, AfterTheProbe);
    EXPECT_EQ(ProbeConnection(), 0);
    EXPECT_EQ(AccelX, 0);  // cleared by the probe, nothing decoded since
    FakeHidRelease();
}

TEST_F(Probe, FailsWhenTheFirstReportCarriesNoAccelerometerData) {
    FakeHidQueueReport({0x30, 0x00, 0x00}, 5);
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    int32_t verdict = ProbeConnection();
    // The reader pauses 100 ms after a read. Only a main thread held up for longer lets it
    // read again before the verdict, and then the second report may decide it.
    std::vector<FakeHidCall> reads = FakeHidReads();
    if (reads.size() == 1) {
        EXPECT_EQ(verdict, 0);
    } else if (reads.size() > 1) {
        EXPECT_GE(reads[1].at - reads[0].at, std::chrono::milliseconds(100));
    }
}

TEST_F(Probe, FailsOnAZeroXReading) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x00, 0x82, 0x9C}, 5);
    EXPECT_EQ(ProbeConnection(), 0);
}

TEST_F(Probe, SilentRemoteFailsAndItsStuckReaderIsStopped) {
    FakeClockHoldUntil(FakeHidReadInProgress);  // the wait ends with the reader in its read
    EXPECT_EQ(ProbeConnection(), 0);
    EXPECT_EQ(ReaderActive, 1);
    EXPECT_TRUE(FakeHidReadInProgress());
    StopReaderThread();
    EXPECT_FALSE(FakeHidReadInProgress());
    EXPECT_EQ(FakeHidStops, 1);
    EXPECT_EQ(FakeHidResumes, 1);  // later reads are the detection loop's to make
}

TEST_F(Probe, AReaderThatEndedByItselfIsOnlyJoined) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, AfterTheProbe);
    FakeClockHoldUntil([] { return AccelX != 0; });
    EXPECT_EQ(ProbeConnection(), 1);
    FakeHidRelease();
    while (ReaderActive) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopReaderThread();
    EXPECT_EQ(FakeHidStops, 0);
}

TEST_F(Probe, AfterStoppingTheReaderOnlyTheMainThreadReads) {
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 5);
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x90, 0x82, 0x9C}, AfterTheProbe);
    FakeClockHoldUntil([] { return AccelX != 0; });
    EXPECT_EQ(ProbeConnection(), 1);
    StopReaderThread();  // cuts the reader's pause, or its second read, short
    FakeHidRelease();
    EXPECT_EQ(ReadInputReport(WaitWithoutLimit), 1);
    EXPECT_EQ(AccelX, 0x90);
    std::vector<FakeHidCall> reads = FakeHidReads();
    ASSERT_GE(reads.size(), 2u);
    for (size_t i = 0; i + 1 < reads.size(); ++i) EXPECT_NE(reads[i].thread, std::this_thread::get_id());
    EXPECT_EQ(reads.back().thread, std::this_thread::get_id());
}

TEST(WaitMilliseconds, NeverReturnsAtOrBeforeTheCount) {
    for (int32_t ms : {0, 1, 5, 100, 100, 100}) {
        Clock::time_point start = Clock::now();
        WaitMilliseconds(ms);
        EXPECT_GT(MsSince(start), ms);
    }
}

}  // namespace
