// A simulated Wii Remote in place of the HID device, to try the program and to test it end
// to end without one. It answers as a remote does: silent until the accelerometer mode is
// selected, then 0x31 reports at 100 a second, at rest with a little noise and every few
// seconds a fall (weightless readings, an impact, rest again). It answers a status request
// with a status report, sends one unasked now and then, and after each goes quiet until the
// mode is selected again.
//
// QUILLBRAMBLE_SIM_REMOTE picks another remote: "absent" (none to open), "silent" (opens,
// never reports), "buttons-only" (streams 0x30 reports, as if the mode were never selected),
// "low-battery" (its status shows the battery nearly empty), "drops" (gone for 5 s in every
// 20 s, and back in its power-on mode, as a remote out of range or switched off and on),
// "off-centre" (its calibration, and so its falls, off the middle of the scale, as some remotes
// are), "calm" (falls a third as often, for a long quiet stretch between two alarms) or
// "replay:FILE" (plays a recording, 3 bytes X Y Z a report, at 100 reports a second, and then
// holds its last reading).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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
constexpr int64_t DropCycleMs = 20000;    // "drops": away for the last DropMs of each cycle
constexpr int64_t DropMs = 5000;
constexpr uint8_t RestX = 0x82, RestY = 0x82, RestZ = 0x9C;
constexpr uint8_t FreshBattery = 0xC0;    // status report: flags 0, level 0xC0
constexpr uint8_t FlatBattery = 0x18;     // "low-battery": nearly-empty flag, level 0x18
constexpr uint8_t BatteryNearlyEmpty = 0x01;
constexpr uint32_t StatusReportBytes = 7;  // 20 B1 B2 LF 00 00 VV
constexpr int AnswersKept = 4;             // answers to requests, sent before the next data report
// Calibration blocks: zero-g X, Y, Z, their low bits, 1 g X, Y, Z, their low bits, settings,
// checksum. The first is centred; the second a real remote's, off centre (132, 130, 134).
constexpr uint8_t CentredCalibration[] = {0x80, 0x80, 0x80, 0x00, 0x9A, 0x9A, 0x9A, 0x00, 0x40, 0xE3};
constexpr uint8_t OffCentreCalibration[] = {0x84, 0x82, 0x86, 0x30, 0x9F, 0x9D, 0x9F, 0x02, 0x40, 0x2E};
constexpr uint32_t EepromBytes = 0x40;      // the start of the EEPROM; reads beyond it fail
constexpr uint32_t FirstCalibrationAt = 0x16, SecondCalibrationAt = 0x20;
constexpr uint8_t ReadsRegisters = 0x04;    // in a memory read's CC byte
constexpr uint8_t NoSuchAddress = 0x08;     // a memory answer's error
constexpr uint32_t MemoryDataBytes = 16;    // at most, in one answer
constexpr char ReplayKind[] = "replay:";
constexpr uint32_t ReplayBytesAtMost = 3 * 100 * 3600;  // an hour of reports; the rest is not played
}  // namespace

static std::mutex SimLock;
static std::condition_variable SimWake;
static bool Stopped;
static bool Streaming;
static bool ButtonsOnly;
static bool Silent;
static int64_t FallCycleMs = CycleMs;
static bool LowBattery;
static bool Drops;
static bool WasAway;  // a read saw it away: the next read after it is back says so
static Clock::time_point OpenedAt;
static Clock::time_point StreamStart;
static Clock::time_point NextReportDue;
static Clock::time_point NextStatusDue;
static uint32_t NoiseState = 0x2545F491;
static uint8_t Answers[AnswersKept][HidReportBytes];
static uint32_t AnswerBytes[AnswersKept];
static int AnswerCount;
static uint8_t Eeprom[EepromBytes];
static uint8_t Recording[ReplayBytesAtMost];
static uint32_t RecordingBytes;  // 0: no recording, the remote falls by itself
static uint32_t ReplayedBytes;

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

// Loads the recording that "replay:FILE" names; false when there is none to play.
static bool LoadRecording(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    RecordingBytes = file ? static_cast<uint32_t>(std::fread(Recording, 1, ReplayBytesAtMost, file)) / 3 * 3 : 0;
    if (file) std::fclose(file);
    ReplayedBytes = 0;
    if (RecordingBytes == 0) std::fprintf(stderr, "Recording cannot be played: %s\n", path);
    return RecordingBytes > 0;
}

static void FillAccelReport(uint8_t* report, int64_t streamMs) {
    int64_t inCycle = streamMs % FallCycleMs;
    report[0] = 0x31;
    report[1] = 0x00;
    report[2] = 0x00;
    if (RecordingBytes > 0) {
        // Report by report, however the stream pauses for a status report; the last one is held.
        std::memcpy(report + 3, Recording + ReplayedBytes, 3);
        if (ReplayedBytes + 3 < RecordingBytes) ReplayedBytes += 3;
    } else if (inCycle >= FallStartMs && inCycle < FallStartMs + WeightlessMs) {
        // Weightless, a remote reads its own zero-g points.
        report[3] = Reading(Eeprom[FirstCalibrationAt], 2);
        report[4] = Reading(Eeprom[FirstCalibrationAt + 1], 2);
        report[5] = Reading(Eeprom[FirstCalibrationAt + 2], 2);
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

// With "drops": whether the remote is away at this moment, and when that changes next.
static bool Away(Clock::time_point now, Clock::time_point* changesAt) {
    if (!Drops) {
        *changesAt = Clock::time_point::max();
        return false;
    }
    int64_t inCycle = std::chrono::duration_cast<Ms>(now - OpenedAt).count() % DropCycleMs;
    bool away = inCycle >= DropCycleMs - DropMs;
    *changesAt = now + Ms((away ? DropCycleMs : DropCycleMs - DropMs) - inCycle);
    return away;
}

// A report the remote sends before its next data report.
static void QueueAnswer(const uint8_t* bytes, uint32_t length) {
    if (AnswerCount == AnswersKept) return;
    std::memcpy(Answers[AnswerCount], bytes, length);
    AnswerBytes[AnswerCount++] = length;
}

static void QueueStatus() {
    uint8_t status[StatusReportBytes] = {0x20, 0x00, 0x00, 0x00, 0x00, 0x00, FreshBattery};
    if (LowBattery) {
        status[3] = BatteryNearlyEmpty;
        status[6] = FlatBattery;
    }
    QueueAnswer(status, StatusReportBytes);
    Streaming = false;  // as a real remote: no data reports until the mode is written again
}

// The stream's next report, due now: true when it is a data report, false when the remote
// sends its unasked status report instead.
static bool StreamReport(uint8_t* report, uint32_t* count) {
    Clock::time_point due = NextReportDue;
    NextReportDue += ReportPeriod;
    if (ButtonsOnly) {
        report[0] = 0x30;
        report[1] = report[2] = 0x00;
        *count = 3;
        return true;
    }
    if (due >= NextStatusDue) {
        NextStatusDue = due + Ms(StatusEveryMs);
        QueueStatus();
        return false;
    }
    FillAccelReport(report, std::chrono::duration_cast<Ms>(due - StreamStart).count());
    *count = 6;
    return true;
}

// Answers a memory read (17 CC A2 A1 A0 S1 S0) as 0x21 reports of 16 bytes at most, or one
// with an error for a register or an address beyond the EEPROM's start.
static void QueueMemoryAnswer(const uint8_t* request) {
    const uint32_t address = static_cast<uint32_t>(request[2] << 16 | request[3] << 8 | request[4]);
    const uint32_t size = static_cast<uint32_t>(request[5] << 8 | request[6]);
    uint8_t answer[6 + MemoryDataBytes] = {0x21, 0x00, 0x00, NoSuchAddress, request[3], request[4]};
    if ((request[1] & ReadsRegisters) || address + size > EepromBytes) {
        QueueAnswer(answer, sizeof answer);
        return;
    }
    for (uint32_t done = 0; done < size; done += MemoryDataBytes) {
        const uint32_t bytes = std::min(MemoryDataBytes, size - done);
        answer[3] = static_cast<uint8_t>((bytes - 1) << 4);
        answer[4] = static_cast<uint8_t>((address + done) >> 8);
        answer[5] = static_cast<uint8_t>(address + done);
        std::memset(answer + 6, 0, MemoryDataBytes);
        std::memcpy(answer + 6, Eeprom + address + done, bytes);
        QueueAnswer(answer, sizeof answer);
    }
}

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    if (vendorId != 0x057E || productId != 0x0306 || std::strcmp(SimKind(), "absent") == 0) return NoHidHandle;
    std::lock_guard<std::mutex> hold(SimLock);
    const bool replay = std::strncmp(SimKind(), ReplayKind, sizeof ReplayKind - 1) == 0;
    RecordingBytes = 0;
    if (replay && !LoadRecording(SimKind() + sizeof ReplayKind - 1)) return NoHidHandle;
    Silent = std::strcmp(SimKind(), "silent") == 0;
    ButtonsOnly = std::strcmp(SimKind(), "buttons-only") == 0;
    LowBattery = std::strcmp(SimKind(), "low-battery") == 0;
    Drops = std::strcmp(SimKind(), "drops") == 0;
    FallCycleMs = std::strcmp(SimKind(), "calm") == 0 ? CalmCycleMs : CycleMs;
    const uint8_t* calibration = std::strcmp(SimKind(), "off-centre") == 0 ? OffCentreCalibration : CentredCalibration;
    std::memcpy(Eeprom + FirstCalibrationAt, calibration, sizeof CentredCalibration);
    std::memcpy(Eeprom + SecondCalibrationAt, calibration, sizeof CentredCalibration);
    OpenedAt = Clock::now();
    return SimHandle;
}

int32_t ReadReport(int32_t, uint8_t* report, uint32_t* count, int32_t waitMs) {
    std::unique_lock<std::mutex> hold(SimLock);
    *count = 0;
    Clock::time_point deadline = Clock::now() + Ms(waitMs);
    bool limited = waitMs != WaitWithoutLimit;
    for (;;) {
        if (Stopped) return HidReadsStopped;
        Clock::time_point now = Clock::now();
        Clock::time_point awayChangesAt;
        if (Away(now, &awayChangesAt)) {
            // Gone: its node with it. It comes back in its power-on mode, silent until told.
            WasAway = true;
            Streaming = false;
            AnswerCount = 0;
        } else if (WasAway) {
            WasAway = false;
            return HidDeviceReopened;
        } else if (AnswerCount > 0) {
            *count = AnswerBytes[0];
            std::memcpy(report, Answers[0], *count);
            std::memmove(Answers, Answers + 1, sizeof Answers[0] * static_cast<size_t>(--AnswerCount));
            std::memmove(AnswerBytes, AnswerBytes + 1, sizeof AnswerBytes[0] * static_cast<size_t>(AnswerCount));
            return HidReportRead;
        } else if (Streaming && !Silent && now >= NextReportDue) {
            if (StreamReport(report, count)) return HidReportRead;
            continue;  // an unasked status report, sent as an answer is
        }
        if (limited && now >= deadline) return HidNothingRead;
        Clock::time_point until = Streaming && !Silent ? std::min(NextReportDue, awayChangesAt) : awayChangesAt;
        if (limited && deadline < until) until = deadline;
        if (until == Clock::time_point::max())
            SimWake.wait(hold);
        else
            SimWake.wait_until(hold, until);
    }
}

void WriteReport(int32_t, const uint8_t* report, uint32_t length, uint32_t* count) {
    std::lock_guard<std::mutex> hold(SimLock);
    Clock::time_point now = Clock::now();
    Clock::time_point awayChangesAt;
    *count = 0;
    if (length == 0 || Away(now, &awayChangesAt)) return;
    *count = length;
    if (report[0] == 0x15) {
        QueueStatus();
        SimWake.notify_all();
    } else if (report[0] == 0x17 && length >= 7) {
        QueueMemoryAnswer(report);
        SimWake.notify_all();
    } else if (report[0] == 0x12 && length >= 3 && report[2] == 0x31 && !Streaming) {
        if (StreamStart == Clock::time_point{}) StreamStart = now;
        NextReportDue = now;
        NextStatusDue = now + Ms(StatusEveryMs);
        Streaming = true;
        SimWake.notify_all();
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
