// Spy in place of the event command's runs: records each start (a run's number is its place in
// FakeRunStarts) and signal, and ends runs when the test says.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct FakeRunStart {
    std::string event;
    int64_t time;  // the event's, as handed on
};
extern std::vector<FakeRunStart> FakeRunStarts;
extern std::vector<std::string> FakeRunCalls;  // in order: "fall" for a start, "stop fall", "kill fall"
extern int32_t FakeEventCommandFound;          // what FindEventCommand returns: NoEventCommand after reset
extern bool FakeRunsCannotStart;               // StartRun records the try and returns NoRun while set

void FakeEventRunsReset();
void FakeRunEnds(int32_t run, bool wentThrough);  // TakeEndedRun reports it next
