// The spies themselves: what the logic's tests rely on them to record and to play out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "call_journal.h"
#include "clip_player.h"
#include "console_keys.h"
#include "fake_clip_player.h"
#include "event_runs.h"
#include "fake_console_keys.h"
#include "fake_event_runs.h"
#include "fake_hid_access.h"
#include "fake_message_box.h"
#include "fake_remote_clock.h"
#include "hid_access.h"
#include "message_box.h"
#include "process.h"
#include "remote_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

class Fakes : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHidReset();
        FakeKeysReset();
        FakeClipPlayerReset();
        FakeMessageBoxReset();
        JournalClear();
    }
    uint8_t report[HidReportBytes] = {};
    uint32_t count = 0;
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST_F(Fakes, HidPlaysTheScriptInOrderAndRecordsEveryCall) {
    EXPECT_EQ(OpenHidHandle(0x057E, 0x0306), 7);
    FakeHidQueueReport({0x31, 1, 2, 3, 4, 5});
    FakeHidQueueNoReport(EscKeyCode);
    FakeHidQueueReport({0x30, 9, 8});
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 1);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(report[5], 5);
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 0);
    EXPECT_EQ(FakeKeysWaiting(), 1);
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 1);
    EXPECT_EQ(report[0], 0x30);
    uint8_t leds[HidReportBytes] = {0x11, 0x10};
    WriteReport(7, leds, 2, &count);
    CloseHidHandle(7);
    EXPECT_EQ(JournalText(),
              "hid open 057e:0306\nhid read\nhid report 31 01 02 03 04 05\nhid read\n"
              "hid read\nhid report 30 09 08\nhid write 11 10\nhid close\n");
    EXPECT_EQ(FakeHidReads().size(), 3u);
    EXPECT_FALSE(FakeHidMisuseSeen());
}

TEST_F(Fakes, HidDelaysAReportAndHonoursTheWaitLimit) {
    FakeHidQueueReport({0x31, 0, 0, 1, 1, 1}, 150);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadReport(7, report, &count, 50), 0);
    EXPECT_GE(MsSince(start), 45);
    EXPECT_EQ(FakeHidScriptLeft(), 1);
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 1);
    EXPECT_GE(MsSince(start), 140);
    std::vector<FakeHidCall> reads = FakeHidReads();
    EXPECT_GE(reads[1].at - reads[0].at, std::chrono::milliseconds(50)) << "each call's time";

    FakeHidQueueReport({0x30, 9, 8}, FakeHidUntilReleased);
    EXPECT_EQ(ReadReport(7, report, &count, 50), 0) << "held past a wait's limit";
    std::thread releaser([] {
        while (!FakeHidReadInProgress()) std::this_thread::yield();
        FakeHidRelease();
    });
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 1);
    releaser.join();
    EXPECT_EQ(report[0], 0x30);
}

TEST_F(Fakes, HidSilenceWaitsUntilStoppedAndStaysStoppedUntilResumed) {
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        StopReadReport();
    });
    Clock::time_point start = Clock::now();
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), HidReadsStopped);
    EXPECT_GE(MsSince(start), 70);
    stopper.join();
    FakeHidQueueReport({0x31, 0, 0, 1, 1, 1});
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), HidReadsStopped);
    ResumeReadReport();
    EXPECT_EQ(ReadReport(7, report, &count, WaitWithoutLimit), 1);
    EXPECT_EQ(FakeHidStops, 1);
    EXPECT_EQ(FakeHidResumes, 1);
}

TEST_F(Fakes, ClockRunsOnGoesForwardWhenToldAndWaitsForASignWhenHeld) {
    FakeClockReset();
    int64_t before = RemoteClockMs();
    FakeClockAdvance(60000);
    EXPECT_GE(RemoteClockMs() - before, 60000);
    FakeClockReset();
    EXPECT_LT(RemoteClockMs() - before, 60000);
    static bool sign = false;
    FakeClockHoldUntil([] { return sign; });
    before = RemoteClockMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(RemoteClockMs(), before);
    sign = true;
    EXPECT_EQ(RemoteClockMs(), before + 1);
    EXPECT_EQ(RemoteClockMs(), before + 2);
    FakeClockReset();
}

TEST_F(Fakes, HidNotesOverlappingReadsAndReadsAfterClose) {
    std::thread reader([this] {
        uint8_t own[HidReportBytes];
        uint32_t ownCount;
        ReadReport(7, own, &ownCount, 200);
    });
    while (!FakeHidReadInProgress()) std::this_thread::yield();
    CloseHidHandle(7);
    reader.join();
    EXPECT_TRUE(FakeHidMisuseSeen());

    FakeHidReset();
    CloseHidHandle(7);
    ReadReport(7, report, &count, 0);
    EXPECT_TRUE(FakeHidMisuseSeen());
}

TEST_F(Fakes, KeysAreTakenInTheOrderPressed) {
    EXPECT_EQ(KeyPressWaiting(), 0);
    FakeKeysPress('q');
    FakeKeysPress(EscKeyCode);
    EXPECT_EQ(KeyPressWaiting(), 1);
    EXPECT_EQ(TakeKeyCode(), 'q');
    EXPECT_EQ(TakeKeyCode(), EscKeyCode);
    EXPECT_EQ(KeyPressWaiting(), 0);
    EXPECT_EQ(FakeKeysTaken, 2);
    EXPECT_EQ(FakeKeysPolls, 3);
}

TEST_F(Fakes, PlayerMessageBoxAndProcessRecordWhatTheyWereAsked) {
    WavClip clip{};
    clip.sampleRate = 22050;
    EXPECT_EQ(OpenClipPlayer(clip), 1);
    FakeClipPlayerOpenResult = 0;
    EXPECT_EQ(OpenClipPlayer(clip), 0);
    EXPECT_EQ(StartClipPlayer(), 1);
    FakeClipPlayerStartResult = 0;
    EXPECT_EQ(StartClipPlayer(), 0);
    ShowMessage("Wii-Remote not found.");
    ShowNotice("Alert sound cannot be played.");
    SetUpProcess();
    BeginStartingThreads();
    EndStartingThreads();
    EXPECT_EQ(FakeClipPlayerOpens, 2);
    EXPECT_EQ(FakeClipPlayerStarts, 2);
    EXPECT_EQ(FakeClipPlayerClip.sampleRate, 22050u);
    EXPECT_EQ(FakeMessages, (std::vector<std::string>{"Wii-Remote not found."}));
    EXPECT_EQ(FakeNotices, (std::vector<std::string>{"Alert sound cannot be played."}));
    EXPECT_EQ(FakeNoticeTimes.size(), 1u);
    EXPECT_EQ(JournalCount("player start"), 2);
    EXPECT_EQ(JournalCount("message Wii-Remote"), 1);
    EXPECT_EQ(JournalCount("notice Alert"), 1);
    EXPECT_NE(JournalText().find("process set up\nthreads starting\nthreads started\n"), std::string::npos);
}

TEST_F(Fakes, EventRunsRecordStartsAndSignalsAndEndRunsWhenTold) {
    FakeEventRunsReset();
    FakeRunsCannotStart = true;
    EXPECT_EQ(StartRun("/x", "ok", 8), NoRun);
    FakeRunsCannotStart = false;
    EXPECT_EQ(StartRun("/x", "fall", 7), 1);
    int32_t through = -1;
    EXPECT_EQ(TakeEndedRun(&through), NoRun);
    FakeRunEnds(1, false);
    KillRun(1);
    EXPECT_TRUE(TakeEndedRun(&through) == 1 && through == 0 && FakeRunStarts[0].time == 8);
    EXPECT_EQ(FakeRunCalls, (std::vector<std::string>{"ok", "fall", "kill fall"}));
}

}  // namespace
