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
    std::string actions;  // "+fall" raises fall, "+lost*9" nine times; "fall ok", "fall fail" end its oldest run
    std::string starts;   // the events started at atMs, in order: "lost*8 fall"
    std::string signals;  // "stop back kill back"
};

std::string Compressed(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0, n; i < names.size(); i += n) {
        for (n = 1; i + n < names.size() && names[i + n] == names[i];) ++n;
        text += (text.empty() ? "" : " ") + names[i] + (n > 1 ? "*" + std::to_string(n) : "");
    }
    return text;
}

void Play(const std::vector<Row>& rows, bool cannotStart = false) {
    FakeEventRunsReset();
    FakeEventCommandFound = EventCommandUsable;
    FakeRunsCannotStart = cannotStart;
    ASSERT_EQ(ReadyEventDelivery(), 1);
    std::vector<std::string> going(RunsAtMost);  // each run's event
    size_t seenStarts = 0, seenSignals = 0;
    for (const Row& row : rows) {
        std::istringstream actions(row.actions);
        for (std::string word, how; actions >> word;) {
            if (word[0] == '+') {
                const size_t star = word.find('*');
                const int times = star == std::string::npos ? 1 : std::stoi(word.substr(star + 1));
                static const char* const names[] = {StartedEvent, FallEvent, OkEvent, LostEvent, BackEvent, HeartbeatEvent};
                for (const char* name : names)
                    for (int i = 0; name == word.substr(1, star - 1) && i < times; ++i) RaiseEvent(name);
                continue;
            }
            actions >> how;
            for (const FakeRunStart& start : FakeRunStarts)  // its oldest run still going
                if (start.run != NoRun && going[start.run] == word) {
                    going[start.run].clear();
                    FakeRunEnds(start.run, how == "ok");
                    break;
                }
        }
        DeliverEvents(row.atMs);
        std::vector<std::string> started, signals;
        for (; seenStarts < FakeRunStarts.size(); ++seenStarts) {
            const FakeRunStart& start = FakeRunStarts[seenStarts];
            started.push_back(start.event);
            if (start.run != NoRun) going[start.run] = start.event;
        }
        for (; seenSignals < FakeRunSignals.size(); ++seenSignals) {
            const std::string& signal = FakeRunSignals[seenSignals];
            signals.push_back(signal.substr(0, 5) + going[std::stoi(signal.substr(5))]);
        }
        EXPECT_EQ(Compressed(started), row.starts) << "at " << row.atMs << " ms";
        EXPECT_EQ(Compressed(signals), row.signals) << "at " << row.atMs << " ms";
    }
}

TEST(EventDelivery, RetriesTheRunLimitEightAtOnceTheWaitingLimitAndHeartbeats) {
    // Tried again 10 s, 30 s, 1 min, 2 min and 5 min after the try before began, then every
    // 5 min, for an hour: with the time the event happened.
    std::vector<Row> retries{{0, "+fall", "fall", ""}, {1, "fall fail", "", ""}, {9999, "", "", ""}};
    for (int64_t atS : {10, 40, 100, 220, 520, 820, 1120, 1420, 1720, 2020, 2320, 2620, 2920, 3220, 3520}) {
        retries.push_back({atS * 1000 - 1, "", "", ""});
        retries.push_back({atS * 1000, "", "fall", ""});
        retries.push_back({atS * 1000 + 1, "fall fail", "", ""});
    }
    retries.push_back({3820000, "", "", ""});
    Play(retries);
    for (const FakeRunStart& start : FakeRunStarts) EXPECT_EQ(start.time, FakeRunStarts[0].time);

    // SIGTERM after 60 s, SIGKILL 5 s later; a run that will not start is a failed try too.
    Play({{0, "+back", "back", ""},
          {59999, "", "", ""},
          {60000, "", "", "stop back"},
          {64999, "", "", ""},
          {65000, "", "", "kill back"},
          {65001, "back fail", "back", ""},
          {65002, "back ok +lost", "lost", ""}});
    Play({{0, "+lost", "lost", ""}, {9999, "", "", ""}, {10000, "", "lost", ""}}, true);

    // Eight at once, the rest in order; of 32 waiting, a heartbeat gives way first, then the
    // oldest other, never a fall or an ok.
    Play({{0, "+lost*9", "lost*8", ""},
          {1, "lost ok", "lost", ""},
          {2, "+heartbeat +back*31 +fall +fall +ok +lost", "", ""},
          {3, "lost ok lost ok lost ok lost ok lost ok lost ok lost ok lost ok", "back*8", ""},
          {4, "back ok back ok back ok back ok back ok back ok back ok back ok", "back*8", ""},
          {5, "back ok back ok back ok back ok back ok back ok back ok back ok", "back*8", ""},
          {6, "back ok back ok back ok back ok back ok back ok back ok back ok", "back*4 fall*2 ok lost", ""}});

    // A heartbeat 5 min after started, and every 5 min, but not while the remote is lost.
    Play({{0, "+started", "started", ""},
          {1, "started ok", "", ""},
          {299999, "", "", ""},
          {300000, "", "heartbeat", ""},
          {300001, "heartbeat ok +lost", "lost", ""},
          {600000, "lost ok", "", ""},
          {601000, "+back", "back", ""},
          {899999, "back ok", "", ""},
          {900000, "", "heartbeat", ""}});
}

}  // namespace
