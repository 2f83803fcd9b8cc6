#include "fake_event_runs.h"

#include <deque>
#include <utility>

#include "call_journal.h"
#include "event_runs.h"

int32_t FakeEventCommandFound;
bool FakeRunsCannotStart;
std::vector<FakeRunStart> FakeRunStarts;
std::vector<std::string> FakeRunSignals;
int32_t FakeEndingSignal;
static bool Going[RunsAtMost];
static std::deque<std::pair<int32_t, bool>> Ended;

void FakeEventRunsReset() {
    FakeEventCommandFound = NoEventCommand;
    FakeRunsCannotStart = false;
    FakeRunStarts.clear();
    FakeRunSignals.clear();
    FakeEndingSignal = 0;
    for (bool& going : Going) going = false;
    Ended.clear();
}

void FakeRunEnds(int32_t run, bool wentThrough) { Ended.emplace_back(run, wentThrough); }

int FakeRunsGoing() {
    int going = 0;
    for (bool g : Going) going += g ? 1 : 0;
    return going;
}

int32_t FindEventCommand(char* path, int32_t pathBytes) {
    if (pathBytes > 0) path[0] = '\0';
    return FakeEventCommandFound;
}

void BeginRuns() { JournalAdd("runs begin"); }
void EndRuns() { JournalAdd("runs end"); }

int32_t StartRun(const char*, const char* event, int64_t eventTime) {
    int32_t run = 0;
    while (run < RunsAtMost && Going[run]) ++run;
    if (FakeRunsCannotStart || run == RunsAtMost) run = NoRun;
    if (run != NoRun) Going[run] = true;
    FakeRunStarts.push_back({event, eventTime, run});
    JournalAdd(std::string("run ") + event);
    return run;
}

int32_t TakeEndedRun(int32_t* wentThrough) {
    if (Ended.empty()) return NoRun;
    auto [run, through] = Ended.front();
    Ended.pop_front();
    Going[run] = false;
    *wentThrough = through ? 1 : 0;
    return run;
}

void StopRun(int32_t run) { FakeRunSignals.push_back("stop " + std::to_string(run)); }
void KillRun(int32_t run) { FakeRunSignals.push_back("kill " + std::to_string(run)); }
void AwaitRuns(int32_t) {}
void WakeRunWaiter() {}
int32_t EndingSignalCaught() { return FakeEndingSignal; }
void EndBySignal(int32_t signalNumber) { JournalAdd("end by signal " + std::to_string(signalNumber)); }
