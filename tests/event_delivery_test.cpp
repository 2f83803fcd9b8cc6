// The delivery of events over the spy of its runs and a clock the test gives: retries and
// their hour, the run limit, eight runs at once, the waiting events' limit, and heartbeats.
#include <gtest/gtest.h>

#include <sstream>

#include "event_delivery.h"
#include "event_runs.h"
#include "fake_event_runs.h"

namespace {

struct Row {
    int64_t atMs;
    std::string actions;  // "+fall" raises fall, "+lost*9" nine times; "fall:ok", "fall:fail*2" end its oldest runs
    std::string then;     // the runs started and signalled at atMs, repeats counted: "lost*8 stop back"
};

void Play(const std::vector<Row>& rows, bool cannotStart = false) {
    FakeEventRunsReset();
    FakeEventCommandFound = EventCommandUsable;
    FakeRunsCannotStart = cannotStart;
    ASSERT_EQ(ReadyEventDelivery(), 1);
    std::vector<bool> ended(1001);  // runs the test has ended
    size_t seen = 0;
    for (const Row& row : rows) {
        std::istringstream actions(row.actions);
        for (std::string word; actions >> word;) {
            const size_t star = std::min(word.find('*'), word.size()), colon = std::min(word.find(':'), star);
            const bool raise = word[0] == '+';
            const std::string name = word.substr(raise, colon - raise);
            for (int n = star < word.size() ? std::stoi(word.substr(star + 1)) : 1; n > 0; --n) {
                for (const char* event : {StartedEvent, FallEvent, OkEvent, LostEvent, BackEvent, HeartbeatEvent})
                    if (raise && name == event) RaiseEvent(event);
                size_t run = 0;  // the oldest still going
                while (!raise && run < FakeRunStarts.size() && (FakeRunStarts[run].event != name || ended[run])) ++run;
                if (raise || run == FakeRunStarts.size()) continue;
                FakeRunEnds(static_cast<int32_t>(run), word.substr(colon + 1, star - colon - 1) == "ok");
                ended[run] = true;
            }
        }
        DeliverEvents(row.atMs);
        std::string then;
        for (size_t n; seen < FakeRunCalls.size(); seen += n) {
            for (n = 1; seen + n < FakeRunCalls.size() && FakeRunCalls[seen + n] == FakeRunCalls[seen];) ++n;
            then += (then.empty() ? "" : " ") + FakeRunCalls[seen] + (n > 1 ? "*" + std::to_string(n) : "");
        }
        EXPECT_EQ(then, row.then) << "at " << row.atMs << " ms";
    }
}

TEST(EventDelivery, RetriesTheRunLimitEightAtOnceTheWaitingLimitAndHeartbeats) {
    // Tried again 10 s, 30 s, 1 min, 2 min and 5 min after the try before began, then every
    // 5 min, for an hour: with the time the event happened.
    std::vector<Row> retries{{0, "+fall", "fall"}};
    for (int64_t atS : {10, 40, 100, 220, 520, 820, 1120, 1420, 1720, 2020, 2320, 2620, 2920, 3220, 3520, 3820}) {
        retries.push_back({atS * 1000 - 9999, "fall:fail", ""});
        retries.push_back({atS * 1000 - 1, "", ""});
        retries.push_back({atS * 1000, "", atS < 3600 ? "fall" : ""});
    }
    Play(retries);
    for (const FakeRunStart& start : FakeRunStarts) EXPECT_EQ(start.time, FakeRunStarts[0].time);

    // SIGTERM after 60 s, SIGKILL 5 s later; a run that will not start is a failed try too.
    Play({{0, "+back", "back"}, {59999, "", ""}, {60000, "", "stop back"}, {64999, "", ""}, {65000, "", "kill back"},
          {65001, "back:fail", "back"}});
    Play({{0, "+lost", "lost"}, {9999, "", ""}, {10000, "", "lost"}}, true);

    // Eight at once, the rest in order; of 32 waiting, a heartbeat gives way first, then the
    // oldest other, never a fall or an ok.
    Play({{0, "+lost*9", "lost*8"},
          {1, "lost:ok", "lost"},
          {2, "+heartbeat +back*31 +fall +fall +ok +lost", ""},
          {3, "lost:ok*8", "back*8"},
          {4, "back:ok*8", "back*8"},
          {5, "back:ok*8", "back*8"},
          {6, "back:ok*8", "back*4 fall*2 ok lost"}});

    // A heartbeat 5 min after started, and every 5 min, but not while the remote is lost.
    Play({{0, "+started", "started"},
          {299999, "started:ok", ""},
          {300000, "", "heartbeat"},
          {300001, "heartbeat:ok +lost", "lost"},
          {600000, "lost:ok", ""},
          {601000, "+back", "back"},
          {900000, "back:ok", "heartbeat"}});
}

}  // namespace
