// The program's run with a real on-event command, over the double of hidapi: every event
// reaches it with its time, a failed try runs again with the first try's time as the clock is
// put forward, and a sleeping run holds up no alarm.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "fake_clip_player.h"
#include "fake_remote_clock.h"
#include "hidapi_double.h"

int SentryMain(int argc, char** argv, char** envp);  // the program's main, renamed for the test

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes AtRest{0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, Weightless{0x31, 0x00, 0x00, 0x80, 0x80, 0x80},
    AHeld{0x31, 0x00, 0x08, 0x82, 0x82, 0x9C};

// Logs each run; fall's first two tries fail once the test makes go1, go2; help sleeps.
const char Script[] = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$1 $QUILLBRAMBLE_EVENT $QUILLBRAMBLE_EVENT_TIME" >> "$dir/log"
case "$1" in
fall) n=$(grep -c '^fall ' "$dir/log")
      if [ "$n" -le 2 ]; then while [ ! -e "$dir/go$n" ]; do sleep 0.01; done; exit 1; fi ;;
help) echo $$ > "$dir/help.pid"; exec sleep 120 ;;
esac
)";
std::string Folder;  // the command's

std::vector<std::string> Log(const std::string& start = "") {  // its lines, or those that start so
    std::ifstream in(Folder + "/log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(start, 0) == 0) lines.push_back(line);
    return lines;
}

void WaitFor(const std::string& event, size_t count = 1) {  // 20 s at most: a failure, not a margin
    for (int i = 0; i < 2000 && Log(event + " ").size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(Log(event + " ").size(), count) << event;
}

TEST(EventCommand, EveryEventReachesItAFailedTryIsRunAgainWithItsTimeAndASleepingRunHoldsUpNoAlarm) {
    char home[] = "/tmp/sentry-events-XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    Folder = home + std::string("/quillbramble-sentry");
    ASSERT_EQ(std::system(("mkdir -m 700 " + Folder + " && cp '" SENTRY_CLIP "' " + home).c_str()), 0);
    std::ofstream(Folder + "/on-event") << Script;
    ASSERT_EQ(chmod((Folder + "/on-event").c_str(), 0700), 0);
    setenv("XDG_CONFIG_HOME", home, 1);
    ASSERT_EQ(chdir(home), 0);
    HidapiDoubleReset();
    FakeClipPlayerReset();
    HidapiDoubleQueueRead(AtRest);  // for the probe
    auto queue = [](const Bytes& report, int times) { for (int i = 0; i < times; ++i) HidapiDoubleQueueRead(report); };
    std::thread remote([&] {
        WaitFor("started");
        queue(Weightless, 3);
        for (int n = 1; n <= 2; ++n) {
            WaitFor("fall", n);
            FakeClockAdvance(n == 1 ? 10000 : 30000);  // past the next try; the remote seems silent as long
            WaitFor("lost", n);
            HidapiDoubleQueueRead(AtRest);
            WaitFor("back", n);
            std::ofstream(Folder + "/go" + std::to_string(n)) << "";
        }
        WaitFor("fall", 3);
        queue(AHeld, 200);
        WaitFor("help");
        for (const Bytes& report : {AtRest, AHeld, AtRest}) HidapiDoubleQueueRead(report);
        WaitFor("ok");
        queue(Weightless, 3);  // while help sleeps
        WaitFor("fall", 4);
        HidapiDoubleQueueRead({0x31, 0x00, 0x80, 0x82, 0x82, 0x9C});  // Home
    });
    char name[] = "quillbramble-sentry";
    char* argv[] = {name, nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(SentryMain(1, argv, environ), 0);
    testing::internal::GetCapturedStdout();
    remote.join();

    std::vector<std::string> log = Log(), events;
    for (const std::string& entry : log) {  // "fall fall 2026-12-09T14:03:22+01:00"
        const std::string event = entry.substr(0, entry.find(' ')), time = entry.substr(entry.rfind(' ') + 1);
        EXPECT_EQ(entry, event + " " + event + " " + time);
        int y, mo, d, h, mi, sec, oh, om;
        char sign = 0;
        EXPECT_TRUE(time.size() == 25 && std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &y, &mo, &d, &h, &mi,
                                                     &sec, &sign, &oh, &om) == 9 && (sign == '+' || sign == '-')) << time;
        events.push_back(event);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"started", "fall", "lost", "back", "fall", "lost", "back", "fall",
                                                "help", "ok", "fall", "stopped"}));
    EXPECT_TRUE(log[1] == log[4] && log[1] == log[7]) << "a retry carries the time of the event";
    EXPECT_EQ(FakeClipPlayerStarts, 4) << "the ready sign, two falls and help";
    pid_t helper = 0;
    ASSERT_TRUE(std::ifstream(Folder + "/help.pid") >> helper);
    EXPECT_EQ(kill(helper, SIGKILL), 0) << "help's run was left to finish";
    EXPECT_EQ(waitpid(helper, nullptr, 0), helper);

    EXPECT_EQ(std::system(("rm -rf " + std::string(home)).c_str()), 0);
}

}  // namespace
