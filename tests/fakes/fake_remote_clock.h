// The remote's clock for tests: the steady clock, put forward as far as a test says, so that a
// minute of the remote's life passes at once.
#pragma once
#include <cstdint>

void FakeClockReset();  // no longer ahead
void FakeClockAdvance(int64_t ms);
