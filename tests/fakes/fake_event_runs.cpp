#include "fake_event_runs.h"

#include <deque>
#include <utility>

#include "event_runs.h"

std::vector<FakeRunStart> FakeRunStarts;
std::vector<std::string> FakeRunCalls;
int32_t FakeEventCommandFound;
bool FakeRunsCannotStart;
static std::deque<std::pair<int32_t, bool>> Ended;

void FakeEventRunsReset() {
    FakeRunStarts.clear();
    FakeRunCalls.clear();
    FakeEventCommandFound = NoEventCommand;
    FakeRunsCannotStart = false;
    Ended.clear();
}

void FakeRunEnds(int32_t run, bool wentThrough) { Ended.emplace_back(run, wentThrough); }

int32_t FindEventCommand(char*, int32_t) { return FakeEventCommandFound; }
void BeginRuns() {}
void EndRuns() {}

int32_t StartRun(const char*, const char* event, int64_t eventTime) {
    FakeRunStarts.push_back({event, eventTime});
    FakeRunCalls.push_back(event);
    return FakeRunsCannotStart ? NoRun : static_cast<int32_t>(FakeRunStarts.size()) - 1;
}

int32_t TakeEndedRun(int32_t* wentThrough) {
    if (Ended.empty()) return NoRun;
    const auto [run, through] = Ended.front();
    Ended.pop_front();
    *wentThrough = through ? 1 : 0;
    return run;
}

void StopRun(int32_t run) { FakeRunCalls.push_back("stop " + FakeRunStarts[run].event); }
void KillRun(int32_t run) { FakeRunCalls.push_back("kill " + FakeRunStarts[run].event); }
void AwaitRuns(int32_t) {}
void WakeRunWaiter() {}
int32_t EndingSignalCaught() { return 0; }
void EndBySignal(int32_t) {}
