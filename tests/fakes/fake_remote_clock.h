// The remote's clock for tests: the steady clock, put forward as far as a test says, so that a
// minute of the remote's life passes at once; or held until a sign that the test names.
#pragma once
#include <cstdint>

void FakeClockReset();  // no longer ahead, nor held
void FakeClockAdvance(int64_t ms);
// From now on the clock stands still until signGiven() says true; from then on each reading is
// 1 ms later than the one before. A wait on the clock thus ends only after the sign, however
// slowly the machine runs the thread that gives it.
void FakeClockHoldUntil(bool (*signGiven)());
