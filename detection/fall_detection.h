// The free-fall detection loop: reads the remote report by report and sounds the alert when
// all three accelerometer readings sit in the weightless window for three reads in a row.
#pragma once
#include <cstdint>

constexpr uint8_t WindowLow = 123;   // lowest reading inside the window, on each axis
constexpr uint8_t WindowHigh = 133;  // highest reading inside the window
constexpr int32_t RunToAlert = 3;    // in-window reads in a row that sound the alert
constexpr int32_t CooldownLimit = 50;  // passes; the next alert comes on the 50th after one
constexpr uint8_t QuitButtons = 0x80;  // ButtonByte2 with Home, and only Home, pressed
// How long one wait for a report lasts before the keyboard is looked at again.
constexpr int32_t KeyCheckMs = 100;

// Runs until Home on the remote or ESC on the console. The device must be open and set to
// report mode 0x31.
void RunFallDetection();
