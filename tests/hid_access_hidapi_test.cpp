// The hidapi HID layer against a double of hidapi's own functions: lengths of writes, reads
// that wait, stop and retry, and a remote that goes away and comes back.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "hid_access.h"
#include "hidapi_double.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

const Bytes ModeCommand{0x12, 0x00, 0x31};
const Bytes LedsCommand{0x11, 0x10};
const Bytes AccelReport{0x31, 0x10, 0x80, 0x7F, 0x81, 0x84};

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Opens the first device the double lists with this product ID.
hid_device* OpenListed(unsigned short product) {
    hid_device_info* listed = hid_enumerate(0x057E, product);
    hid_device* device = listed ? hid_open_path(listed->path) : nullptr;
    hid_free_enumeration(listed);
    return device;
}

TEST(HidapiDouble, PlaysItsScriptFailsAGoneRemoteAndSeesOverlapsAndMisuse) {
    HidapiDoubleReset();
    HidapiDoubleSetDevices({{0x0330, L"Nintendo RVL-CNT-01-UC"}, {0x0306, L"Nintendo RVL-CNT-01"}});
    hid_device_info* listed = hid_enumerate(0x057E, 0);
    ASSERT_TRUE(listed && listed->next && !listed->next->next);
    EXPECT_EQ(listed->product_id, 0x0330);
    EXPECT_STREQ(listed->product_string, L"Nintendo RVL-CNT-01-UC");
    EXPECT_STRNE(listed->path, listed->next->path);
    hid_free_enumeration(listed);
    hid_device* first = OpenListed(0x0306);
    unsigned char buffer[256] = {};
    HidapiDoubleQueueRead({0x31, 1, 2});
    HidapiDoubleQueueRead({});
    EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, 0), 3);
    EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, 0), -1);
    Clock::time_point start = Clock::now();
    std::thread reader([&] {
        EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, 150), 0);  // silence
        EXPECT_GE(MsSince(start), 150);
        EXPECT_EQ(hid_read_timeout(first, buffer, sizeof buffer, 5000), -1);  // the remote goes
    });
    for (int i = 0; i < 1000 && HidapiDoubleRecord().readMs.size() < 4; ++i) SleepMs(5);
    hid_write(first, LedsCommand.data(), 2);  // overlaps the waiting read
    HidapiDoubleSetPresent(false);
    reader.join();
    EXPECT_EQ(OpenListed(0x0306), nullptr) << "nothing is listed while the remote is away";
    HidapiDoubleSetPresent(true);
    EXPECT_EQ(hid_write(first, LedsCommand.data(), 2), -1) << "a device whose remote went stays dead";
    hid_device* second = OpenListed(0x0306);
    hid_write(second, ModeCommand.data(), 3);
    hid_close(first);
    hid_exit();  // the second still open
    hid_close(second);
    hid_close(second);
    HidapiRecord record = HidapiDoubleRecord();
    EXPECT_EQ(record.overlaps, 1);
    EXPECT_EQ(record.misuses, 2);
    EXPECT_EQ(record.opened, (std::vector<std::wstring>(2, L"Nintendo RVL-CNT-01")));
    ASSERT_EQ(record.reportedAt.size(), 1u);
    ASSERT_EQ(record.written.size(), 3u);
    EXPECT_LE(record.reportedAt[0], record.written[0].at);
    EXPECT_EQ(record.written[1].device, 1);
    EXPECT_EQ(record.written[2].bytes, ModeCommand);
    EXPECT_EQ(record.written[2].device, 2);
}

class HidLayer : public ::testing::Test {
protected:
    void SetUp() override {
        HidapiDoubleReset();
        ResumeReadReport();
    }
    void TearDown() override {
        if (handle != NoHidHandle) CloseHidHandle(handle);
        HidapiRecord record = HidapiDoubleRecord();
        EXPECT_EQ(record.overlaps, 0) << "hidapi calls on one device must take turns";
        EXPECT_EQ(record.misuses, 0);
        EXPECT_EQ(record.closes, record.opens);
    }
    void Open() { ASSERT_NE(handle = OpenHidHandle(0x057E, 0x0306), NoHidHandle); }
    void Write(const Bytes& bytes, uint32_t expectedCount) {
        uint8_t report[HidReportBytes];  // still holding the rest of an earlier, longer report
        std::fill(std::copy(bytes.begin(), bytes.end(), report), report + HidReportBytes, 0xEE);
        uint32_t count = 99;
        WriteReport(handle, report, static_cast<uint32_t>(bytes.size()), &count);
        EXPECT_EQ(count, expectedCount);
    }
    // The report, or empty when none came; *result is what ReadReport said.
    Bytes Read(int32_t waitMs, int32_t* result = nullptr) {
        uint8_t report[HidReportBytes] = {};
        uint32_t count = 99;
        int32_t got = ReadReport(handle, report, &count, waitMs);
        bool read = got == HidReportRead;
        EXPECT_TRUE(read ? count > 0 && count <= HidReportBytes : count == 0) << got << ", " << count;
        if (result) *result = got;
        return Bytes(report, report + (read ? std::min(count, HidReportBytes) : 0));
    }
    // Stops reads stopAfterMs into a read without limit; it must end within withinMs of the stop.
    void ExpectStopToEndARead(int stopAfterMs, int64_t withinMs) {
        Clock::time_point returnedAt;
        std::thread reader([&] {
            EXPECT_TRUE(Read(WaitWithoutLimit).empty());
            returnedAt = Clock::now();
        });
        SleepMs(stopAfterMs);
        Clock::time_point stoppedAt = Clock::now();
        StopReadReport();
        reader.join();
        EXPECT_TRUE(returnedAt >= stoppedAt && returnedAt - stoppedAt < std::chrono::milliseconds(withinMs));
    }

    int32_t handle = NoHidHandle;
};

TEST_F(HidLayer, OpensOneRemoteOfEitherModelAtATimeAndSendsEachReportAtTheLengthGiven) {
    HidapiDoubleSetPresent(false);
    EXPECT_EQ(OpenHidHandle(0x057E, 0x0306), NoHidHandle);
    HidapiDoubleSetPresent(true);
    // A Wii U Pro Controller and a Balance Board, which share the remotes' IDs.
    HidapiDoubleSetDevices({{0x0330, L"Nintendo RVL-CNT-01-UC"}, {0x0306, L"Nintendo RVL-WBC-01"}});
    ASSERT_EQ(handle = OpenHidHandle(0x057E, 0x0306), NoHidHandle);
    EXPECT_EQ(HidapiDoubleRecord().opens, 0);
    HidapiDoubleSetDevices({{0x0330, L"Nintendo RVL-CNT-01-UC"}, {0x0306, L"Nintendo RVL-WBC-01"},
                            {0x0330, L"Nintendo RVL-CNT-01-TR"}});
    Open();
    EXPECT_EQ(OpenHidHandle(0x057E, 0x0306), NoHidHandle) << "one device at a time";
    Write(LedsCommand, 2);
    Write(ModeCommand, 3);
    HidapiDoubleQueueRead(AccelReport);
    EXPECT_EQ(Read(1000), AccelReport);
    HidapiRecord record = HidapiDoubleRecord();
    EXPECT_EQ(record.opened, (std::vector<std::wstring>{L"Nintendo RVL-CNT-01-TR"}));
    ASSERT_EQ(record.written.size(), 2u);
    EXPECT_EQ(record.written[0].bytes, LedsCommand);
    EXPECT_EQ(record.written[1].bytes, ModeCommand);
}

TEST_F(HidLayer, ReadReturnsReportsRetriesASingleFailureAndWaitsOutItsLimitInSlices) {
    Open();
    const Bytes status{0x20, 0x00, 0x00, 0x02, 0x00, 0x00, 0xC0};
    HidapiDoubleQueueRead(AccelReport);
    HidapiDoubleQueueRead({});
    HidapiDoubleQueueRead(status);
    EXPECT_EQ(Read(WaitWithoutLimit), AccelReport);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Read(1000), status);
    EXPECT_LT(MsSince(start), 300);
    HidapiDoubleQueueRead({});
    start = Clock::now();
    EXPECT_TRUE(Read(300).empty()) << "a failed read is no report";
    EXPECT_TRUE(MsSince(start) >= 295 && MsSince(start) < 1500) << MsSince(start);
    // The limit in slices of at most 100 ms: three of them, unless the machine held one up.
    std::vector<int> slices = HidapiDoubleRecord().readMs;
    EXPECT_GE(slices.size(), 5u);
    for (int ms : slices) EXPECT_TRUE(ms > 0 && ms <= 100) << ms;
    EXPECT_EQ(HidapiDoubleRecord().opens, 1);
}

TEST_F(HidLayer, WritesWaitAtMostAReadSliceAndStopEndsReadsUntilResume) {
    Open();
    std::thread writer([this] {
        for (int i = 0; i < 1000 && HidapiDoubleRecord().readMs.empty(); ++i) SleepMs(5);
        for (int i = 0; i < 5; ++i, SleepMs(30)) {
            Clock::time_point start = Clock::now();
            Write(ModeCommand, 3);
            EXPECT_LT(MsSince(start), 250) << "the reader must step aside";
        }
    });
    ExpectStopToEndARead(1000, 500);  // a writer that the reader starves waits until then
    writer.join();
    HidapiDoubleQueueRead(AccelReport);
    Clock::time_point start = Clock::now();
    int32_t result = HidNothingRead;
    EXPECT_TRUE(Read(WaitWithoutLimit, &result).empty());
    EXPECT_EQ(result, HidReadsStopped);
    EXPECT_TRUE(Read(100).empty());
    EXPECT_LT(MsSince(start), 50);
    Write(LedsCommand, 2);  // writes go on while reads are stopped
    ResumeReadReport();
    EXPECT_EQ(Read(WaitWithoutLimit), AccelReport);
}

TEST_F(HidLayer, ALostRemoteIsLookedForWithoutSpinningAndItsReturnIsToldToTheReader) {
    Open();
    HidapiDoubleSetPresent(false);
    int callsBefore = HidapiDoubleRecord().calls;
    std::clock_t cpuBefore = std::clock();
    Clock::time_point wentAt = Clock::now();
    for (int i = 0; i < 15; ++i) EXPECT_TRUE(Read(100).empty());
    EXPECT_GE(MsSince(wentAt), 1490) << "each read waits out its 100 ms";
    ASSERT_EQ(HidapiDoubleRecord().closes, 1) << "the dead device is let go";
    Write(LedsCommand, 0);  // lost: nobody to send it to
    ExpectStopToEndARead(100, 200);  // that read waits to look for the remote again
    ResumeReadReport();
    EXPECT_LE(HidapiDoubleRecord().calls - callsBefore, 30) << "hidapi calls in 1.6 s";
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC * 15 / 100) << "CPU over 150 ms in 1.6 s";
    HidapiDoubleQueueRead(AccelReport);
    HidapiDoubleSetDevices({{0x0330, L"Nintendo RVL-CNT-01-UC"}, {0x0330, L"Nintendo RVL-CNT-01-TR"}});
    HidapiDoubleSetPresent(true);
    int32_t result = HidNothingRead;
    EXPECT_TRUE(Read(3000, &result).empty());
    EXPECT_EQ(result, HidDeviceReopened) << "the remote back knows nothing it was told";
    Write(ModeCommand, 3);
    EXPECT_EQ(Read(1000), AccelReport);
    HidapiRecord record = HidapiDoubleRecord();
    EXPECT_EQ(record.opened, (std::vector<std::wstring>{L"Nintendo RVL-CNT-01", L"Nintendo RVL-CNT-01-TR"}))
        << "either model, never the controller";
    ASSERT_EQ(record.written.size(), 1u);
    EXPECT_EQ(record.written[0].device, 2);
}

}  // namespace
