// The detection loop: reads the remote report by report and sounds the alert when its rule hears
// a fall. By default the free-fall rule: all three accelerometer readings in the weightless window
// for three reads in a row, the window around the remote's own zero-g point on each axis (123..133
// for one of 128). For a remote worn by a person, the worn rule.
#pragma once
#include <cstdint>

constexpr uint8_t QuitButtons = 0x80;  // ButtonByte2 with Home, and only Home, pressed
// How long one wait for a report lasts before the keyboard is looked at again.
constexpr int32_t KeyCheckMs = 100;

enum class FallRule { FreeFall, Worn };
extern FallRule ActiveFallRule;  // FreeFall unless the command line says otherwise

// Runs until Home on the remote or ESC on the console. The device must be open and set to
// report mode 0x31.
void RunFallDetection();
