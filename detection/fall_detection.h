// The free-fall detection loop: reads the remote report by report and sounds the alert when
// all three accelerometer readings sit in the weightless window for three reads in a row. The
// window lies around the remote's own zero-g point on each axis: 123..133 for one of 128.
#pragma once
#include <cstdint>

constexpr int32_t WindowHalfWidth = 5;  // readings this far from the zero-g point are inside, no further
constexpr int32_t RunToAlert = 3;    // in-window reads in a row that sound the alert
constexpr int32_t CooldownLimit = 50;  // passes; the next alert comes on the 50th after one
constexpr uint8_t QuitButtons = 0x80;  // ButtonByte2 with Home, and only Home, pressed
// How long one wait for a report lasts before the keyboard is looked at again.
constexpr int32_t KeyCheckMs = 100;

// Runs until Home on the remote or ESC on the console. The device must be open and set to
// report mode 0x31.
void RunFallDetection();
