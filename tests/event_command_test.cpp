// The program's run with a real on-event command, over the double of hidapi: the command sees
// every event with its time, a failed try is run again with the first try's time as the
// remote's clock is put forward, a command that sleeps holds up no alarm, nothing it ran is left
// a zombie, and one that others may change is refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "event_delivery.h"
#include "fake_clip_player.h"
#include "fake_message_box.h"
#include "fake_remote_clock.h"
#include "hidapi_double.h"

int SentryMain(int argc, char** argv, char** envp);  // the program's main, renamed for the test

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes AtRest{0x31, 0x00, 0x00, 0x82, 0x82, 0x9C};
const Bytes Weightless{0x31, 0x00, 0x00, 0x80, 0x80, 0x80};
const Bytes AHeld{0x31, 0x00, 0x08, 0x82, 0x82, 0x9C};

// Records "$1 QUILLBRAMBLE_EVENT QUILLBRAMBLE_EVENT_TIME"; the first two tries of fall fail
// once the test has made the file go1 or go2; help sleeps.
const char Script[] = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$1 $QUILLBRAMBLE_EVENT $QUILLBRAMBLE_EVENT_TIME" >> "$dir/log"
case "$1" in
fall) n=$(grep -c '^fall ' "$dir/log")
      if [ "$n" -le 2 ]; then while [ ! -e "$dir/go$n" ]; do sleep 0.01; done; exit 1; fi ;;
help) echo $$ > "$dir/help.pid"; sleep 120; echo slept >> "$dir/log" ;;
esac
)";

struct EventCommand : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/sentry-events-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        folder = home + "/quillbramble-sentry";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        std::ofstream(folder + "/on-event") << Script;
        ASSERT_EQ(chmod((folder + "/on-event").c_str(), 0700), 0);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        ASSERT_EQ(std::system(("cp '" SENTRY_CLIP "' " + home).c_str()), 0);
        ASSERT_EQ(chdir(home.c_str()), 0);
        HidapiDoubleReset();
        FakeClipPlayerReset();
        FakeMessageBoxReset();
        FakeClockReset();
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + home).c_str()), 0); }
    std::vector<std::string> Log() {
        std::ifstream in(folder + "/log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    int Count(const std::string& event) {
        int count = 0;
        for (const std::string& line : Log()) count += line.rfind(event + " ", 0) == 0 ? 1 : 0;
        return count;
    }
    void WaitFor(const std::string& event, int count = 1) {  // 20 s at most: a failure, not a margin
        for (int i = 0; i < 2000 && Count(event) < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(Count(event), count) << event;
    }
    // Children of this process, and how many of them are zombies.
    static int Children(int* zombies) {
        int children = 0;
        *zombies = 0;
        DIR* proc = opendir("/proc");
        for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string all((std::istreambuf_iterator<char>(stat)), {});
            std::istringstream fields(all.substr(all.rfind(')') + 1));
            char state = 0;
            int parent = 0;
            if (fields >> state >> parent && parent == getpid()) {
                ++children;
                *zombies += state == 'Z' ? 1 : 0;
            }
        }
        closedir(proc);
        return children;
    }
    std::string home, folder;
};

TEST_F(EventCommand, EveryEventReachesItAFailedTryIsRunAgainWithItsTimeAndASleepingRunHoldsUpNoAlarm) {
    HidapiDoubleQueueRead(AtRest);  // for the probe
    std::thread remote([&] {
        WaitFor("started");
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Weightless);
        int64_t forwardMs[] = {10000, 30000};  // each past the next try, while the try before runs
        for (int n = 1; n <= 2; ++n) {
            WaitFor("fall", n);
            FakeClockAdvance(forwardMs[n - 1]);  // the remote, too, now seems silent that long
            WaitFor("lost", n);
            HidapiDoubleQueueRead(AtRest);
            WaitFor("back", n);
            std::ofstream(folder + "/go" + std::to_string(n)) << "";
        }
        WaitFor("fall", 3);
        for (int i = 0; i < 200; ++i) HidapiDoubleQueueRead(AHeld);
        WaitFor("help");
        for (const Bytes& report : {AtRest, AHeld, AtRest}) HidapiDoubleQueueRead(report);
        WaitFor("ok");
        for (int i = 0; i < 3; ++i) HidapiDoubleQueueRead(Weightless);  // while help sleeps
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
    const std::regex line(R"((\S+) (\S+) \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    for (const std::string& entry : log) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(entry, match, line) && match[1] == match[2]) << entry;
        events.push_back(match[1]);
    }
    EXPECT_EQ(events, (std::vector<std::string>{"started", "fall", "lost", "back", "fall", "lost", "back", "fall",
                                                "help", "ok", "fall", "stopped"}));
    EXPECT_EQ(log[1], log[4]) << "a retry carries the time of the event";
    EXPECT_EQ(log[1], log[7]);
    EXPECT_EQ(FakeClipPlayerStarts, 4) << "the ready sign, two falls and help";
    std::ifstream pid(folder + "/help.pid");
    pid_t helper = 0;
    ASSERT_TRUE(pid >> helper);
    EXPECT_EQ(kill(-helper, SIGKILL), 0) << "help's run was left to finish";
    EXPECT_EQ(waitpid(helper, nullptr, 0), helper);

    // A hundred events: every run reaped while the program runs.
    BeginEventDelivery();
    for (int i = 0; i < 100; ++i) RaiseEvent(OkEvent);
    WaitFor("ok", 101);
    int zombies = 0;
    for (int i = 0; i < 2000 && Children(&zombies) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Children(&zombies), 0);
    EndEventDelivery();

    // Writable by its group: never run.
    ASSERT_EQ(chmod((folder + "/on-event").c_str(), 0770), 0);
    BeginEventDelivery();
    RaiseEvent(FallEvent);
    EndEventDelivery();
    EXPECT_EQ(FakeNotices.back(), "Event command refused: others may change it.");
    EXPECT_EQ(Count("fall"), 4);
}

}  // namespace
