#include "fall_rules.h"

#include <climits>
#include <cmath>

static bool InWindow(uint8_t reading, uint8_t zeroG) {
    return reading >= zeroG - WindowHalfWidth && reading <= zeroG + WindowHalfWidth;
}

bool FreeFallPass(int32_t& RunLength, int32_t& Cooldown, const uint8_t accel[3], const uint8_t zeroG[3]) {
    bool sounds = false;
    if (InWindow(accel[0], zeroG[0]) && InWindow(accel[1], zeroG[1]) && InWindow(accel[2], zeroG[2])) {
        // Held at its largest, a long run can never come round to RunToAlert again.
        if (RunLength < INT32_MAX) ++RunLength;
        if (RunLength == RunToAlert && Cooldown == 0) {
            sounds = true;
            Cooldown = 1;
        }
    } else {
        RunLength = 0;
    }
    if (Cooldown > 0 && ++Cooldown > CooldownLimit) Cooldown = 0;
    return sounds;
}

float ReadingInG(uint8_t reading, uint8_t zeroG, uint8_t oneG) {
    return static_cast<float>(reading - zeroG) / static_cast<float>(oneG - zeroG);
}

// The worn rule works on the magnitude of the acceleration, which is the same however the remote
// sits, and on the angle between two postures, which is too. Every window is counted in reports.
// A report whose magnitude reaches ImpactG is an impact when the second before it held a loss of
// support (a magnitude down to LossOfSupportG); each impact is judged JudgedAfter reports later:
// it must have been hard, HardReports of the 0.3 s from it on at HardG or more (a body meeting
// the floor, where turning over in bed makes a blip); the posture of the 1.5 s from 1 s after it
// must lie 55° or further from the posture of a second that ended a second before it; and the
// body must keep still (StillG) through those 1.5 s.
namespace {
constexpr int32_t Kept = 256;  // reports: more than an impact's judging reaches back or ahead
constexpr float ImpactG = 1.8f;
constexpr float HardG = 1.5f;
constexpr int32_t HardReports = 5;
constexpr int32_t ImpactSpanReports = 30;
constexpr float LossOfSupportG = 0.8f;
constexpr int32_t LossWithinReports = 100;
constexpr int32_t BeforeStartsReports = WornHistoryReports;  // before the impact
constexpr int32_t BeforeReports = 100;
constexpr int32_t AfterStartsReports = 100;  // after the impact
constexpr int32_t AfterReports = 150;
constexpr int32_t JudgedAfter = AfterStartsReports + AfterReports - 1;
constexpr float TurnedCos = 0.5736f;  // cos 55°
constexpr float StillG = 0.15f;       // standard deviation of the magnitude
static_assert(JudgedAfter < Kept && BeforeStartsReports < Kept && (Kept & (Kept - 1)) == 0);
}  // namespace

static float Taken[Kept][3];
static float Magnitude[Kept];
static bool Impact[Kept];            // the report here is an impact yet to be judged
static float PostureBefore[Kept][3];  // of each impact
static int64_t Reports;
static int64_t LastAlarm;

static int32_t Slot(int64_t report) { return static_cast<int32_t>(report & (Kept - 1)); }

// The mean of count reports from first on: the direction of gravity where the body keeps still.
static void Posture(int64_t first, int32_t count, float posture[3]) {
    posture[0] = posture[1] = posture[2] = 0;
    for (int64_t report = first; report < first + count; ++report)
        for (int axis = 0; axis < 3; ++axis) posture[axis] += Taken[Slot(report)][axis];
    for (int axis = 0; axis < 3; ++axis) posture[axis] /= static_cast<float>(count);
}

static bool LostSupportBefore(int64_t impact) {
    for (int64_t report = impact - LossWithinReports; report < impact; ++report)
        if (Magnitude[Slot(report)] <= LossOfSupportG) return true;
    return false;
}

static bool Hard(int64_t impact) {
    int32_t hard = 0;
    for (int64_t report = impact; report < impact + ImpactSpanReports; ++report) hard += Magnitude[Slot(report)] >= HardG;
    return hard >= HardReports;
}

static bool Turned(const float before[3], const float after[3]) {
    const float dot = before[0] * after[0] + before[1] * after[1] + before[2] * after[2];
    const float lengths = std::sqrt((before[0] * before[0] + before[1] * before[1] + before[2] * before[2]) *
                                    (after[0] * after[0] + after[1] * after[1] + after[2] * after[2]));
    return lengths > 0 && dot <= TurnedCos * lengths;
}

static bool StillSince(int64_t first) {
    float sum = 0, squares = 0;
    for (int64_t report = first; report < Reports; ++report) {
        sum += Magnitude[Slot(report)];
        squares += Magnitude[Slot(report)] * Magnitude[Slot(report)];
    }
    const float count = static_cast<float>(Reports - first);
    const float mean = sum / count;
    return squares / count - mean * mean <= StillG * StillG;
}

void ResetWornRule() {
    for (bool& impact : Impact) impact = false;
    Reports = 0;
    LastAlarm = -WornHoldOffReports;
}

bool WornPass(float x, float y, float z) {
    const int64_t now = Reports++;
    float* taken = Taken[Slot(now)];
    taken[0] = x;
    taken[1] = y;
    taken[2] = z;
    Magnitude[Slot(now)] = std::sqrt(x * x + y * y + z * z);
    Impact[Slot(now)] = now >= BeforeStartsReports && Magnitude[Slot(now)] >= ImpactG && LostSupportBefore(now);
    if (Impact[Slot(now)]) Posture(now - BeforeStartsReports, BeforeReports, PostureBefore[Slot(now)]);

    const int64_t judged = now - JudgedAfter;
    if (judged < 0 || !Impact[Slot(judged)]) return false;
    Impact[Slot(judged)] = false;
    if (now - LastAlarm < WornHoldOffReports) return false;
    float after[3];
    Posture(judged + AfterStartsReports, AfterReports, after);
    if (!Hard(judged) || !Turned(PostureBefore[Slot(judged)], after) || !StillSince(judged + AfterStartsReports))
        return false;
    LastAlarm = now;
    for (bool& impact : Impact) impact = false;  // one fall, one alarm
    return true;
}
