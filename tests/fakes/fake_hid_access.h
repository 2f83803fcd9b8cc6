// Spy in place of the HID access layer: reads play out a script of reports that the test
// queues, and every call is recorded, with a note of any misuse (overlapping reads, a
// read during or after close).
#pragma once
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

struct FakeHidCall {
    std::vector<uint8_t> bytes;  // as written, for writes
    std::thread::id thread;      // that made the call
    std::chrono::steady_clock::time_point at;  // when the call was made
};

constexpr int32_t FakeHidUntilReleased = -1;  // a report's delay: until FakeHidRelease

extern int32_t FakeHidOpenResult;  // what OpenHidHandle returns; 7 after reset
extern int FakeHidOpens;
extern int32_t FakeHidOpenedVendor;
extern int32_t FakeHidOpenedProduct;
extern int FakeHidCloses;
extern int FakeHidStops;
extern int FakeHidResumes;

void FakeHidReset();
// The next scripted read returns these bytes as a report, delayMs after it began waiting
// (FakeHidUntilReleased: once FakeHidRelease has been called).
void FakeHidQueueReport(std::initializer_list<uint8_t> bytes, int32_t delayMs = 0);
// Reports queued until released arrive now.
void FakeHidRelease();
// The next scripted read returns no report at once, as if its wait had ended; a pressKey
// of 0 or more is pressed on the fake console at that moment.
void FakeHidQueueNoReport(int32_t pressKey = -1);
// Once the script has run out, a read waits out its limit (for ever without one) until stopped.

std::vector<FakeHidCall> FakeHidWrites();
std::vector<FakeHidCall> FakeHidReads();  // every ReadReport call, in order
int FakeHidScriptLeft();                   // scripted reads not yet played
bool FakeHidMisuseSeen();                  // overlapping reads, or a read during/after close
bool FakeHidReadInProgress();
