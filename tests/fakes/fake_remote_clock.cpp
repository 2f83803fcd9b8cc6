#include "fake_remote_clock.h"

#include <atomic>
#include <chrono>

#include "remote_clock.h"

static std::atomic<int64_t> AheadMs;
static std::atomic<bool (*)()> HeldUntil;
static std::atomic<int64_t> HeldAtMs;

void FakeClockReset() {
    HeldUntil = nullptr;
    AheadMs = 0;
}

void FakeClockAdvance(int64_t ms) {
    AheadMs += ms;
    HeldAtMs += ms;
}

void FakeClockHoldUntil(bool (*signGiven)()) {
    HeldUntil = nullptr;
    HeldAtMs = RemoteClockMs();
    HeldUntil = signGiven;
}

int64_t RemoteClockMs() {
    using namespace std::chrono;
    bool (*signGiven)() = HeldUntil;
    if (signGiven) return signGiven() ? ++HeldAtMs : HeldAtMs.load();
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + AheadMs;
}
