// A simulated Wii Remote in place of the HID device, to try the program and to test it end
// to end without one. Once the accelerometer mode is selected it streams 0x31 reports at
// 100 a second: at rest, with a little noise, and every few seconds a fall (weightless
// readings, an impact, rest again). Now and then it sends a status report and, like a real
// remote, goes quiet until the mode is selected again.
//
// QUILLBRAMBLE_SIM_REMOTE picks another remote: "absent" (none to open), "silent" (opens,
// never reports), "buttons-only" (streams 0x30 reports, as if the mode were never selected)
// or "calm" (falls a third as often, for a long quiet stretch between two alarms).
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "hid_access.h"

namespace {
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int32_t SimHandle = 1;
constexpr Ms ReportPeriod{10};
constexpr int64_t CycleMs = 4000;         // one fall in every cycle
constexpr int64_t CalmCycleMs = 12000;
constexpr int64_t FallStartMs = 2500;     // into the cycle
constexpr int64_t WeightlessMs = 350;     // of free fall
constexpr int64_t ImpactMs = 60;
constexpr int64_t StatusEveryMs = 9000;   // of streaming, between unasked status reports
constexpr uint8_t RestX = 0x82, RestY = 0x82, RestZ = 0x9C;
constexpr uint8_t Weightless = 0x80;
}  // namespace

static std::mutex SimLock;
static std::condition_variable SimWake;
static bool Stopped;
static bool Streaming;
static bool ButtonsOnly;
static bool Silent;
static int64_t FallCycleMs = CycleMs;
static Clock::time_point StreamStart;
static Clock::time_point NextReportDue;
static Clock::time_point NextStatusDue;
static uint32_t NoiseState = 0x2545F491;

static const char* SimKind() {
    const char* kind = std::getenv("QUILLBRAMBLE_SIM_REMOTE");
    return kind ? kind : "";
}

// -1, 0 or +1 from a small xorshift generator, for a remote that never rests perfectly still.
static int Noise() {
    NoiseState ^= NoiseState << 13;
    NoiseState ^= NoiseState >> 17;
    NoiseState ^= NoiseState << 5;
    return static_cast<int>(NoiseState % 3) - 1;
}

static uint8_t Reading(uint8_t centre, int spread) { return static_cast<uint8_t>(centre + spread * Noise()); }

static void FillAccelReport(uint8_t* report, int64_t streamMs) {
    int64_t inCycle = streamMs % FallCycleMs;
    report[0] = 0x31;
    report[1] = 0x00;
    report[2] = 0x00;
    if (inCycle >= FallStartMs && inCycle < FallStartMs + WeightlessMs) {
        report[3] = Reading(Weightless, 2);
        report[4] = Reading(Weightless, 2);
        report[5] = Reading(Weightless, 2);
    } else if (inCycle >= FallStartMs + WeightlessMs && inCycle < FallStartMs + WeightlessMs + ImpactMs) {
        report[3] = Reading(0xC8, 6);
        report[4] = Reading(0x40, 6);
        report[5] = Reading(0xF0, 6);
    } else {
        report[3] = Reading(RestX, 1);
        report[4] = Reading(RestY, 1);
        report[5] = Reading(RestZ, 1);
    }
}

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    if (vendorId != 0x057E || productId != 0x0306 || std::strcmp(SimKind(), "absent") == 0) return NoHidHandle;
    std::lock_guard<std::mutex> hold(SimLock);
    Silent = std::strcmp(SimKind(), "silent") == 0;
    ButtonsOnly = std::strcmp(SimKind(), "buttons-only") == 0;
    FallCycleMs = std::strcmp(SimKind(), "calm") == 0 ? CalmCycleMs : CycleMs;
    return SimHandle;
}

int32_t ReadReport(int32_t, uint8_t* report, uint32_t* count, int32_t waitMs) {
    std::unique_lock<std::mutex> hold(SimLock);
    Clock::time_point deadline = Clock::now() + Ms(waitMs);
    bool limited = waitMs != WaitWithoutLimit;
    for (;;) {
        if (Stopped) return 0;
        Clock::time_point now = Clock::now();
        if (Streaming && !Silent && now >= NextReportDue) break;
        if (limited && now >= deadline) return 0;
        Clock::time_point until = Streaming && !Silent ? NextReportDue : Clock::time_point::max();
        if (limited && deadline < until) until = deadline;
        if (until == Clock::time_point::max())
            SimWake.wait(hold);
        else
            SimWake.wait_until(hold, until);
    }
    Clock::time_point due = NextReportDue;
    NextReportDue += ReportPeriod;
    if (ButtonsOnly) {
        report[0] = 0x30;
        report[1] = report[2] = 0x00;
        *count = 3;
        return 1;
    }
    if (due >= NextStatusDue) {
        // Status report 0x20: battery level in byte 6. The stream stops until 0x12 again.
        std::memset(report, 0, 7);
        report[0] = 0x20;
        report[6] = 0xC0;
        *count = 7;
        Streaming = false;
        return 1;
    }
    FillAccelReport(report, std::chrono::duration_cast<Ms>(due - StreamStart).count());
    *count = 6;
    return 1;
}

void WriteReport(int32_t, const uint8_t* report, uint32_t* count) {
    std::lock_guard<std::mutex> hold(SimLock);
    if (report[0] == 0x12) {
        *count = 3;
        if (report[2] != 0x31 || Streaming) return;
        Clock::time_point now = Clock::now();
        if (StreamStart == Clock::time_point{}) StreamStart = now;
        NextReportDue = now;
        NextStatusDue = now + Ms(StatusEveryMs);
        Streaming = true;
        SimWake.notify_all();
    } else {
        *count = 2;
    }
}

void CloseHidHandle(int32_t) {
    std::lock_guard<std::mutex> hold(SimLock);
    Streaming = false;
}

void StopReadReport() {
    std::lock_guard<std::mutex> hold(SimLock);
    Stopped = true;
    SimWake.notify_all();
}

void ResumeReadReport() {
    std::lock_guard<std::mutex> hold(SimLock);
    Stopped = false;
}
