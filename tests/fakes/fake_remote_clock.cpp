#include "fake_remote_clock.h"

#include <atomic>
#include <chrono>

#include "remote_clock.h"

static std::atomic<int64_t> AheadMs;

void FakeClockReset() { AheadMs = 0; }

void FakeClockAdvance(int64_t ms) { AheadMs += ms; }

int64_t RemoteClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + AheadMs;
}
