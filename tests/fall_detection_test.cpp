// The detection loop's counting, window, cool-down and ways out, driven by scripted reports
// through the HID, keyboard and player spies; and the worn rule over traces of its own.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "call_journal.h"
#include "console_keys.h"
#include "fake_clip_player.h"
#include "fake_console_keys.h"
#include "fake_hid_access.h"
#include "fall_detection.h"
#include "fall_rules.h"
#include "hid_access.h"
#include "wii_remote.h"

namespace {

struct Reading {
    uint8_t x, y, z;
};
const Reading In{128, 128, 128};
const Reading Out{128, 128, 160};  // at rest: Z feels gravity

class FallDetection : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHidReset();
        FakeKeysReset();
        FakeClipPlayerReset();
        JournalClear();
        DeviceHandle = 7;
        ActiveFallRule = FallRule::FreeFall;
        ZeroGX = ZeroGY = ZeroGZ = UncalibratedZeroG, OneGX = OneGY = OneGZ = UncalibratedOneG;
        ButtonByte1 = ButtonByte2 = AccelX = AccelY = AccelZ = 0;
    }
    static void Queue(Reading r, uint8_t buttons2 = 0) { FakeHidQueueReport({0x31, 0, buttons2, r.x, r.y, r.z}); }
    static void Queue(const std::vector<Reading>& readings) {
        for (Reading r : readings) Queue(r);
    }
    static void QueueHome() { FakeHidQueueReport({0x30, 0x00, 0x80}); }
    // Runs the loop over the queued readings and then Home; returns the passes (reports read)
    // on which the alert was started, counting from 1.
    static std::vector<int> AlertPasses() {
        QueueHome();
        RunFallDetection();
        std::vector<int> passes;
        int reports = 0;
        std::string journal = JournalText();
        for (size_t at = 0, end; (end = journal.find('\n', at)) != std::string::npos; at = end + 1) {
            std::string entry = journal.substr(at, end - at);
            if (entry.rfind("hid report", 0) == 0) ++reports;
            if (entry == "player start") passes.push_back(reports);
        }
        return passes;
    }
    static std::vector<Reading> Repeat(Reading r, int times) { return std::vector<Reading>(times, r); }
};

TEST_F(FallDetection, AlertsOnceOnTheThirdInWindowPassOfARun) {
    Queue(Repeat(In, 6));
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3}));
}

TEST_F(FallDetection, ARunOfAnyLengthAlertsExactlyOnce) {
    Queue(Repeat(In, 400));
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3}));
}

TEST_F(FallDetection, WindowIsInclusiveOf123And133OnEveryAxis) {
    for (int axis = 0; axis < 3; ++axis) {
        for (uint8_t edge : {122, 123, 133, 134}) {
            SetUp();
            Reading r = In;
            (axis == 0 ? r.x : axis == 1 ? r.y : r.z) = edge;
            Queue(Repeat(r, 3));
            bool inside = edge == 123 || edge == 133;
            EXPECT_EQ(AlertPasses().size(), inside ? 1u : 0u) << "axis " << axis << " reading " << int(edge);
        }
    }
}

TEST_F(FallDetection, AnOutOfWindowPassStartsTheRunAgain) {
    Queue({In, In, Out, In, In});
    EXPECT_TRUE(AlertPasses().empty());
    SetUp();
    Queue({In, In, Out, In, In, In});
    EXPECT_EQ(AlertPasses(), (std::vector<int>{6}));
}

TEST_F(FallDetection, NextAlertComesAtTheEarliestOnThe50thPassAfterOne) {
    // Alert on pass 3; a new run whose third pass is pass 52 (the 49th after) stays silent,
    // also as it goes on; one whose third pass is pass 53 (the 50th after) alerts.
    Queue(Repeat(In, 3));
    Queue(Repeat(Out, 46));
    Queue(Repeat(In, 10));
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3}));

    SetUp();
    Queue(Repeat(In, 3));
    Queue(Repeat(Out, 47));
    Queue(Repeat(In, 3));
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3, 53}));
}

TEST_F(FallDetection, ReportsWithoutAccelerometerDataRetestTheLastReadings) {
    Queue({In, In});
    FakeHidQueueReport({0x30, 0x00, 0x00});
    FakeHidQueueReport({0x3E, 0x00, 0x00});
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3}));
}

TEST_F(FallDetection, HomeEndsTheLoopOnlyWhenItIsTheOnlyBitSet) {
    Queue(In, 0x88);  // Home with another button held: goes on
    Queue(Repeat(In, 2));
    Queue(In, 0x80);
    Queue(Repeat(In, 5));  // never read
    RunFallDetection();
    EXPECT_EQ(FakeClipPlayerStarts, 1);
    EXPECT_EQ(FakeHidScriptLeft(), 5);
    EXPECT_EQ(FakeKeysEnds, 1);
}

TEST_F(FallDetection, EscQuitsBeforeTheNextRead) {
    FakeKeysPress(EscKeyCode);
    Queue(Repeat(In, 3));
    RunFallDetection();
    EXPECT_TRUE(FakeHidReads().empty());
    EXPECT_EQ(FakeClipPlayerStarts, 0);
    EXPECT_EQ(JournalText(), "keys begin\nkey 27\nkeys end\n");
}

TEST_F(FallDetection, OtherKeysAreSwallowedOneAPass) {
    FakeKeysPress('a');
    FakeKeysPress(SequenceKeyCode);
    Queue(Repeat(In, 3));
    std::vector<int> passes = AlertPasses();
    EXPECT_EQ(passes, (std::vector<int>{3}));
    std::string journal = JournalText();
    size_t first = journal.find("key 97"), second = journal.find("key 256");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_NE(journal.substr(first, second - first).find("hid report"), std::string::npos)
        << "both keys taken in one pass:\n" << journal;
}

TEST_F(FallDetection, EscDuringASilentWaitEndsTheLoop) {
    Queue(Repeat(In, 2));
    FakeHidQueueNoReport();
    FakeHidQueueNoReport(EscKeyCode);
    Queue(Repeat(In, 3));  // never read
    RunFallDetection();
    EXPECT_EQ(FakeClipPlayerStarts, 0);
    EXPECT_EQ(FakeHidScriptLeft(), 3);
    EXPECT_EQ(FakeKeysWaiting(), 0);
}

TEST_F(FallDetection, WaitsWithoutAReportAreNoPasses) {
    Queue(Repeat(In, 2));
    FakeHidQueueNoReport();
    FakeHidQueueNoReport('x');
    FakeHidQueueNoReport();
    Queue(In);
    EXPECT_EQ(AlertPasses(), (std::vector<int>{3}));
    EXPECT_EQ(FakeKeysTaken, 1);
}

TEST_F(FallDetection, KeyModeSpansTheWholeLoop) {
    Queue(In);
    AlertPasses();
    std::string journal = JournalText();
    EXPECT_EQ(journal.rfind("keys begin\n", 0), 0u) << journal;
    EXPECT_EQ(journal.substr(journal.size() - 9), "keys end\n") << journal;
}

// The worn rule, on traces in g at 100 reports a second.
using G = std::array<float, 3>;  // x, y, z
using Trace = std::vector<G>;
const G Up{0, 0, 1}, Lying{1, 0, 0}, Unsupported{0, 0, 0.3f}, Impact{2, 0, 1}, Jolt{1.6f, 0, 0};
Trace Of(std::initializer_list<std::pair<G, int>> parts) {  // each g for so many reports
    Trace trace;
    for (auto [g, reports] : parts) trace.insert(trace.end(), reports, g);
    return trace;
}

// The reports, from 0, on which the rule sounds, with the trace turned by `turn` (a rotation).
std::vector<int> WornAlarms(const Trace& trace, const float (&turn)[3][3]) {
    ResetWornRule();
    std::vector<int> alarms;
    for (size_t at = 0; at < trace.size(); ++at) {
        auto axis = [&](int row) { return turn[row][0] * trace[at][0] + turn[row][1] * trace[at][1] + turn[row][2] * trace[at][2]; };
        if (WornPass(axis(0), axis(1), axis(2))) alarms.push_back(static_cast<int>(at));
    }
    return alarms;
}

TEST(WornRule, HearsALossOfSupportAnImpactAndABodyTurnedAndStillOnceHoweverTheRemoteSits) {
    const int judged = 330 + 249;  // the verdict on a fall's first impact report
    const struct { const char* what; Trace trace; std::vector<int> alarms; } cases[] = {
        {"a fall", Of({{Up, 300}, {Unsupported, 30}, {Impact, 5}, {Lying, 400}}), {judged}},
        {"support lost, no impact", Of({{Up, 300}, {Unsupported, 30}, {Lying, 400}}), {}},
        {"an impact, no loss of support", Of({{Up, 330}, {Impact, 5}, {Lying, 400}}), {}},
        {"a blip, not a hard impact", Of({{Up, 300}, {Unsupported, 30}, {Impact, 4}, {Lying, 400}}), {}},
        {"up again at once", Of({{Up, 300}, {Unsupported, 30}, {Impact, 5}, {Up, 400}}), {}},
        {"moving on", Of({{Up, 300}, {Unsupported, 30}, {Impact, 5}, {Lying, 100}, {Jolt, 40}, {Lying, 300}}), {}},
        // Falls 735 reports apart: the second within 10 s of the first alarm, the third not.
        {"three falls", Of({{Up, 300}, {Unsupported, 30}, {Impact, 5}, {Lying, 400}, {Up, 300}, {Unsupported, 30},
                            {Impact, 5}, {Lying, 400}, {Up, 300}, {Unsupported, 30}, {Impact, 5}, {Lying, 400}}),
         {judged, judged + 2 * 735}},
    };
    const float c = std::cos(0.7f), s = std::sin(0.7f);  // upside down, turned 40 degrees: no axis where it was
    const float identity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, turned[3][3] = {{c, s, 0}, {s, -c, 0}, {0, 0, -1}};
    for (const auto& test : cases) {
        EXPECT_EQ(WornAlarms(test.trace, identity), test.alarms) << test.what;
        EXPECT_EQ(WornAlarms(test.trace, turned), test.alarms) << test.what << ", turned";
    }
}

TEST_F(FallDetection, WornTheLoopJudgesAccelerometerReportsInTheRemotesOwnGAndOnlyThose) {
    ActiveFallRule = FallRule::Worn;  // off centre, 16 counts a g: read as 22 to 26, the impact falls short
    ZeroGX = 132, ZeroGY = 130, ZeroGZ = 134, OneGX = 148, OneGY = 146, OneGZ = 150;
    FakeHidQueueReport({0x30, 0x00, 0x00});
    for (const G& g : Of({{Up, 300}, {Unsupported, 30}, {Impact, 5}, {Lying, 300}})) {
        Queue({uint8_t(132 + 16 * g[0]), uint8_t(130 + 16 * g[1]), uint8_t(134 + 16 * g[2])});
        if (g == Impact) FakeHidQueueReport({0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0});  // no sample
    }
    EXPECT_EQ(AlertPasses(), (std::vector<int>{1 + 330 + 249 + 5 + 1}));
}

}  // namespace
