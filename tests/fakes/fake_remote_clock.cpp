#include "fake_remote_clock.h"

#include <chrono>

#include "remote_clock.h"

static std::atomic<int64_t> AheadMs;
static std::atomic<const std::atomic<uint8_t>*> HeldUntil;
static std::atomic<int64_t> HeldAtMs;

static int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void FakeClockReset() {
    HeldUntil = nullptr;
    AheadMs = 0;
}

void FakeClockAdvance(int64_t ms) {
    AheadMs += ms;
    HeldAtMs += ms;
}

void FakeClockHoldUntil(const std::atomic<uint8_t>& sign) {
    HeldAtMs = SteadyMs() + AheadMs;
    HeldUntil = &sign;
}

int64_t RemoteClockMs() {
    const std::atomic<uint8_t>* sign = HeldUntil;
    if (!sign) return SteadyMs() + AheadMs;
    return *sign != 0 ? ++HeldAtMs : HeldAtMs.load();
}
