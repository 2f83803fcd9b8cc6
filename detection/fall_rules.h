// The two rules that decide, report by report, that a fall has happened: free fall, for a remote
// that is itself dropped, and worn, for a person wearing the remote who falls.
#pragma once
#include <cstdint>

constexpr int32_t WindowHalfWidth = 5;  // readings this far from the zero-g point are inside, no further
constexpr int32_t RunToAlert = 3;    // in-window reads in a row that sound the alert
constexpr int32_t CooldownLimit = 50;  // passes; the next alert comes on the 50th after one

// One pass of the free-fall rule over the readings X, Y, Z and the zero-g point of each axis;
// RunLength and Cooldown are the caller's counters, 0 at its start. True when it sounds.
bool FreeFallPass(int32_t& RunLength, int32_t& Cooldown, const uint8_t accel[3], const uint8_t zeroG[3]);

// One reading in g, by its axis's calibration: 0 at zeroG, 1 at oneG.
float ReadingInG(uint8_t reading, uint8_t zeroG, uint8_t oneG);

// Forgets every report taken: a new run, or a new recording.
void ResetWornRule();
// Takes the next accelerometer report of a worn remote, in g on each axis (the remote sends 100
// a second), and says whether it shows that the wearer has fallen: a sudden loss of support, an
// impact, and then a body that lies otherwise than before and keeps still. True at most once in
// WornHoldOffReports, and never before WornHistoryReports have been taken.
bool WornPass(float x, float y, float z);

constexpr int32_t WornHistoryReports = 200;  // 2 s: what is taken before an impact to judge it
constexpr int32_t WornHoldOffReports = 1000;  // 10 s after an alarm, in which no other sounds
