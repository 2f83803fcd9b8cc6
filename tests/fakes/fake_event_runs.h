// Spy in place of the event command's runs: records each run started and each signal sent,
// and ends runs when the test says.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct FakeRunStart {
    std::string event;
    int64_t time;  // the event's, as handed on
    int32_t run;   // as returned: NoRun when it could not start
};

extern int32_t FakeEventCommandFound;  // what FindEventCommand returns: NoEventCommand after reset
extern bool FakeRunsCannotStart;       // StartRun returns NoRun while set
extern std::vector<FakeRunStart> FakeRunStarts;
extern std::vector<std::string> FakeRunSignals;  // "stop 3", "kill 3"
extern int32_t FakeEndingSignal;                 // what EndingSignalCaught returns

void FakeEventRunsReset();
// The run ends, exit 0 or not; TakeEndedRun reports it next.
void FakeRunEnds(int32_t run, bool wentThrough);
// Runs started and not yet ended.
int FakeRunsGoing();
