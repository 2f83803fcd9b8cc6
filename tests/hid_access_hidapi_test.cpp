// The hidapi HID layer against a double of hidapi's own functions: lengths of writes, reads
// that wait, stop and retry, and a remote that goes away and comes back.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "hid_access.h"
#include "hidapi_double.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int32_t RemoteVendor = 0x057E;
constexpr int32_t RemoteProduct = 0x0306;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- the double itself ----

class HidapiDouble : public ::testing::Test {
protected:
    void SetUp() override { HidapiDoubleReset(); }
};

TEST_F(HidapiDouble, OpensOnlyThePresentRemoteByItsIds) {
    EXPECT_EQ(hid_open(0x057E, 0x0307, nullptr), nullptr);
    HidapiDoubleSetPresent(false);
    EXPECT_EQ(hid_open(0x057E, 0x0306, nullptr), nullptr);
    HidapiDoubleSetPresent(true);
    hid_device* dev = hid_open(0x057E, 0x0306, nullptr);
    ASSERT_NE(dev, nullptr);
    HidapiCounts counts = HidapiDoubleCounts();
    EXPECT_EQ(counts.openTries, 3);
    EXPECT_EQ(counts.opens, 1);
    EXPECT_EQ(counts.openDevices, 1);
    hid_close(dev);
    EXPECT_EQ(HidapiDoubleCounts().openDevices, 0);
    EXPECT_EQ(HidapiDoubleMisuses(), 0);
    hid_close(dev);
    EXPECT_EQ(HidapiDoubleMisuses(), 1);
}

TEST_F(HidapiDouble, ReadsPlayTheScriptThenWaitOutTheirMilliseconds) {
    hid_device* dev = hid_open(0x057E, 0x0306, nullptr);
    HidapiDoubleQueueReport({0x31, 1, 2, 3, 4, 5});
    HidapiDoubleQueueFailure();
    unsigned char buffer[256] = {};
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 0), 6);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0x31, 1, 2, 3, 4, 5}));
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 0), -1);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(hid_read_timeout(dev, buffer, sizeof buffer, 150), 0);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_EQ(HidapiDoubleReadTimeouts(), (std::vector<int>{0, 0, 150}));
    hid_close(dev);
}

TEST_F(HidapiDouble, AGoneRemoteFailsAtOnceAndItsOldDeviceStaysDead) {
    hid_device* first = hid_open(0x057E, 0x0306, nullptr);
    unsigned char buffer[256] = {};
    std::thread waiting([&] {
        Clock::time_point start = Clock::now();
        EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, 5000), -1);
        EXPECT_LT(MsSince(start), 2500);
    });
    SleepMs(100);
    HidapiDoubleSetPresent(false);
    waiting.join();
    const unsigned char leds[] = {0x11, 0x10};
    EXPECT_EQ(hid_write(first, leds, sizeof leds), -1);
    HidapiDoubleSetPresent(true);
    HidapiDoubleQueueReport({0x30, 0, 0});
    EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, -1), -1);
    hid_device* second = hid_open(0x057E, 0x0306, nullptr);
    EXPECT_EQ(hid_read_timeout(second, buffer, sizeof buffer, -1), 3);
    EXPECT_EQ(hid_write(second, leds, sizeof leds), 2);
    std::vector<HidapiWrite> writes = HidapiDoubleWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].device, 1);
    EXPECT_FALSE(writes[0].delivered);
    EXPECT_EQ(writes[1].bytes, (Bytes{0x11, 0x10}));
    EXPECT_EQ(writes[1].device, 2);
    EXPECT_TRUE(writes[1].delivered);
    hid_close(first);
    hid_close(second);
}

TEST_F(HidapiDouble, SeesACallThatOverlapsAnotherOnTheSameDevice) {
    hid_device* dev = hid_open(0x057E, 0x0306, nullptr);
    std::thread reader([dev] {
        unsigned char buffer[256];
        hid_read_timeout(dev, buffer, sizeof buffer, 300);
    });
    SleepMs(100);
    const unsigned char mode[] = {0x12, 0x00, 0x31};
    hid_write(dev, mode, sizeof mode);
    reader.join();
    EXPECT_EQ(HidapiDoubleOverlaps(), 1);
    hid_exit();
    EXPECT_EQ(HidapiDoubleMisuses(), 1);  // exit with the device still open
    hid_close(dev);
}

// ---- the HID layer on it ----

class HidLayer : public ::testing::Test {
protected:
    void SetUp() override {
        HidapiDoubleReset();
        ResumeReadReport();
    }
    void TearDown() override {
        StopReadReport();
        if (reader.joinable()) reader.join();
        ResumeReadReport();
        if (handle != NoHidHandle) CloseHidHandle(handle);
        EXPECT_EQ(HidapiDoubleOverlaps(), 0) << "hidapi calls on one device must take turns";
        EXPECT_EQ(HidapiDoubleMisuses(), 0);
        EXPECT_EQ(HidapiDoubleCounts().openDevices, 0);
    }
    void Open() {
        handle = OpenHidHandle(RemoteVendor, RemoteProduct);
        ASSERT_NE(handle, NoHidHandle);
    }
    void Write(Bytes bytes, uint32_t expectedCount) {
        uint8_t report[HidReportBytes];
        std::fill(report, report + HidReportBytes, 0xEE);  // what the previous command left
        std::copy(bytes.begin(), bytes.end(), report);
        uint32_t count = 99;
        WriteReport(handle, report, &count);
        EXPECT_EQ(count, expectedCount);
    }
    // A read as the detection loop makes it; the report, or empty when none came.
    Bytes Read(int32_t waitMs) {
        uint8_t report[HidReportBytes] = {};
        uint32_t count = 99;
        int32_t got = ReadReport(handle, report, &count, waitMs);
        if (!got) {
            EXPECT_EQ(count, 0u);
            return {};
        }
        EXPECT_GT(count, 0u);
        return Bytes(report, report + count);
    }
    // Reads as the detection loop does until the layer has closed the dead device.
    void ReadUntilTheDeadDeviceIsClosed() {
        Clock::time_point start = Clock::now();
        while (HidapiDoubleCounts().closes == 0 && MsSince(start) < 5000) EXPECT_TRUE(Read(100).empty());
        ASSERT_EQ(HidapiDoubleCounts().closes, 1);
    }

    int32_t handle = NoHidHandle;
    std::thread reader;
};

const Bytes ModeCommand{0x12, 0x00, 0x31};
const Bytes LedsCommand{0x11, 0x10};
const Bytes AccelReport{0x31, 0x10, 0x80, 0x7F, 0x81, 0x84};

TEST_F(HidLayer, OpensTheRemoteAndClosesItWithHidapi) {
    Open();
    EXPECT_EQ(HidapiDoubleLastOpenVendor(), 0x057Eu);
    EXPECT_EQ(HidapiDoubleLastOpenProduct(), 0x0306u);
    EXPECT_EQ(OpenHidHandle(RemoteVendor, RemoteProduct), NoHidHandle) << "one device at a time";
    CloseHidHandle(handle);
    HidapiCounts counts = HidapiDoubleCounts();
    EXPECT_EQ(counts.inits, 1);
    EXPECT_EQ(counts.opens, 1);
    EXPECT_EQ(counts.closes, 1);
    EXPECT_EQ(counts.exits, 1);
    // A closed handle reads and writes nothing.
    HidapiDoubleQueueReport(AccelReport);
    EXPECT_TRUE(Read(WaitWithoutLimit).empty());
    Write(LedsCommand, 0);
    EXPECT_EQ(HidapiDoubleCounts().calls, counts.calls);
    handle = NoHidHandle;
}

TEST_F(HidLayer, OpenFailsWhileNoRemoteIsThereAndWorksOnceItIs) {
    HidapiDoubleSetPresent(false);
    EXPECT_EQ(OpenHidHandle(RemoteVendor, RemoteProduct), NoHidHandle);
    EXPECT_EQ(OpenHidHandle(RemoteVendor, 0x0307), NoHidHandle);
    HidapiDoubleSetPresent(true);
    Open();
}

TEST_F(HidLayer, WritesEachCommandAtItsOwnLengthReportIdFirst) {
    Open();
    Write(LedsCommand, 2);
    Write(ModeCommand, 3);
    std::vector<HidapiWrite> writes = HidapiDoubleWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, LedsCommand);
    EXPECT_EQ(writes[1].bytes, ModeCommand);
}

TEST_F(HidLayer, SendsNoReportOfAnotherId) {
    Open();
    Write({0x15, 0x00}, 0);
    EXPECT_EQ(HidapiDoubleCounts().writes, 0);
}

TEST_F(HidLayer, ReadReturnsTheReportWithItsLength) {
    Open();
    HidapiDoubleQueueReport(AccelReport);
    HidapiDoubleQueueReport({0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC0});
    EXPECT_EQ(Read(WaitWithoutLimit), AccelReport);
    EXPECT_EQ(Read(100), (Bytes{0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC0}));
}

TEST_F(HidLayer, ReadWaitsOutItsLimitInShortSlices) {
    Open();
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(Read(300).empty());
    int64_t took = MsSince(start);
    EXPECT_GE(took, 295);
    EXPECT_LT(took, 1500);
    std::vector<int> slices = HidapiDoubleReadTimeouts();
    ASSERT_GE(slices.size(), 3u);
    for (int ms : slices) {
        EXPECT_GT(ms, 0);
        EXPECT_LE(ms, 100);
    }
    start = Clock::now();
    EXPECT_TRUE(Read(0).empty());
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(HidLayer, StopEndsAReadWithoutLimitAndLaterReadsUntilResume) {
    Open();
    Clock::time_point returnedAt;
    reader = std::thread([&] {
        EXPECT_TRUE(Read(WaitWithoutLimit).empty());
        returnedAt = Clock::now();
    });
    SleepMs(150);
    Clock::time_point stoppedAt = Clock::now();
    StopReadReport();
    reader.join();
    int64_t returnedAfterStop = std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - stoppedAt).count();
    EXPECT_GE(returnedAfterStop, 0);
    EXPECT_LT(returnedAfterStop, 500);

    HidapiDoubleQueueReport(AccelReport);
    int readsBefore = HidapiDoubleCounts().reads;
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(Read(WaitWithoutLimit).empty());
    EXPECT_TRUE(Read(100).empty());
    EXPECT_LT(MsSince(start), 50);
    EXPECT_EQ(HidapiDoubleCounts().reads, readsBefore);
    Write(LedsCommand, 2);  // writes go on while reads are stopped

    ResumeReadReport();
    EXPECT_EQ(Read(WaitWithoutLimit), AccelReport);
}

TEST_F(HidLayer, AWriteWaitsAtMostAReadSlice) {
    Open();
    reader = std::thread([this] { EXPECT_TRUE(Read(WaitWithoutLimit).empty()); });
    SleepMs(100);
    std::atomic<bool> done{false};
    std::vector<int64_t> waits;
    std::thread writer([&] {
        for (int i = 0; i < 5; ++i) {
            Clock::time_point start = Clock::now();
            Write(ModeCommand, 3);
            waits.push_back(MsSince(start));
            SleepMs(30);
        }
        done = true;
    });
    Clock::time_point start = Clock::now();
    while (!done && MsSince(start) < 3000) SleepMs(10);
    StopReadReport();  // frees a writer that the reader starved
    writer.join();
    for (int64_t ms : waits) EXPECT_LT(ms, 250);
    EXPECT_EQ(HidapiDoubleWrites().size(), 5u);
}

TEST_F(HidLayer, ASingleFailedReadIsRetriedAndTheNextReportArrives) {
    Open();
    HidapiDoubleQueueFailure();
    HidapiDoubleQueueReport(AccelReport);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Read(1000), AccelReport);
    EXPECT_LT(MsSince(start), 300);
    HidapiDoubleQueueFailure();
    EXPECT_TRUE(Read(300).empty()) << "a failed read is no report";
    HidapiDoubleQueueReport(AccelReport);
    EXPECT_EQ(Read(1000), AccelReport);
    HidapiCounts counts = HidapiDoubleCounts();
    EXPECT_EQ(counts.closes, 0);
    EXPECT_EQ(counts.opens, 1);
}

TEST_F(HidLayer, ALostRemoteDoesNotSpinAndIsNeverAReport) {
    Open();
    HidapiDoubleQueueReport(AccelReport);
    EXPECT_EQ(Read(100), AccelReport);
    HidapiDoubleSetPresent(false);
    HidapiCounts before = HidapiDoubleCounts();
    std::clock_t cpuBefore = std::clock();
    Clock::time_point start = Clock::now();
    int passes = 0;
    while (MsSince(start) < 1500) {
        EXPECT_TRUE(Read(100).empty());
        ++passes;
    }
    double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    int calls = HidapiDoubleCounts().calls - before.calls;
    EXPECT_LE(calls, 30) << "hidapi calls in 1.5 s with the remote gone";
    EXPECT_LE(passes, 20) << "each read waits out its 100 ms";
    EXPECT_LT(cpuMs, 150.0);
    std::printf("remote gone for 1.5 s: %d hidapi calls, %d reads of 100 ms, %.1f ms CPU\n", calls,
                passes, cpuMs);
}

TEST_F(HidLayer, StopEndsAReadWhileTheRemoteIsAway) {
    Open();
    HidapiDoubleSetPresent(false);
    ReadUntilTheDeadDeviceIsClosed();
    Clock::time_point returnedAt;
    reader = std::thread([&] {
        EXPECT_TRUE(Read(WaitWithoutLimit).empty());
        returnedAt = Clock::now();
    });
    SleepMs(300);
    Clock::time_point stoppedAt = Clock::now();
    StopReadReport();
    reader.join();
    int64_t returnedAfterStop = std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - stoppedAt).count();
    EXPECT_GE(returnedAfterStop, 0);
    EXPECT_LT(returnedAfterStop, 200);
}

TEST_F(HidLayer, ARemoteThatComesBackIsToldModeAndLedsAgainUnderTheSameHandle) {
    Open();
    Write(ModeCommand, 3);
    Write(LedsCommand, 2);
    HidapiDoubleQueueReport(AccelReport);
    EXPECT_EQ(Read(100), AccelReport);

    HidapiDoubleSetPresent(false);
    Clock::time_point wentAt = Clock::now();
    Clock::time_point backAt;
    bool back = false;
    Bytes got;
    while (got.empty() && MsSince(wentAt) < 8000) {
        if (!back && MsSince(wentAt) >= 2000) {
            HidapiDoubleQueueReport({0x31, 0x00, 0x00, 0x80, 0x80, 0x80});
            HidapiDoubleSetPresent(true);
            backAt = Clock::now();
            back = true;
        }
        got = Read(100);
        EXPECT_TRUE(back || got.empty()) << "a report handed back while the remote was away";
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(got, (Bytes{0x31, 0x00, 0x00, 0x80, 0x80, 0x80}));
    EXPECT_LT(MsSince(backAt), 3000);

    std::vector<HidapiWrite> writes = HidapiDoubleWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].bytes, ModeCommand);
    EXPECT_EQ(writes[2].device, 2);
    EXPECT_EQ(writes[3].bytes, LedsCommand);
    EXPECT_EQ(writes[3].device, 2);
    HidapiCounts counts = HidapiDoubleCounts();
    EXPECT_EQ(counts.closes, 1);
    EXPECT_EQ(counts.opens, 2);
    EXPECT_EQ(counts.inits, 1);

    HidapiDoubleQueueReport(AccelReport);
    EXPECT_EQ(Read(WaitWithoutLimit), AccelReport);
    Write(LedsCommand, 2);
    EXPECT_EQ(HidapiDoubleWrites().back().device, 2);
}

TEST_F(HidLayer, ACommandSentWhileTheRemoteIsAwayReachesItWhenItComesBack) {
    Open();
    Write(ModeCommand, 3);
    Write(LedsCommand, 2);
    HidapiDoubleSetPresent(false);
    ReadUntilTheDeadDeviceIsClosed();
    Write({0x11, 0x30}, 0);
    EXPECT_EQ(HidapiDoubleCounts().writes, 2);
    HidapiDoubleSetPresent(true);
    HidapiDoubleQueueReport(AccelReport);
    Clock::time_point backAt = Clock::now();
    Bytes got;
    while (got.empty() && MsSince(backAt) < 5000) got = Read(100);
    EXPECT_EQ(got, AccelReport);
    std::vector<HidapiWrite> writes = HidapiDoubleWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].bytes, ModeCommand);
    EXPECT_EQ(writes[3].bytes, (Bytes{0x11, 0x30}));
    EXPECT_EQ(writes[3].device, 2);
}

}  // namespace
