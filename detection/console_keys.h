// Key presses on the console the program runs in, one key code at a time, without
// echo and without waiting for a line.
#pragma once
#include <cstdint>

constexpr int32_t EscKeyCode = 27;
constexpr int32_t SequenceKeyCode = 0x100;  // a key that sends an escape sequence (arrows, F-keys)

// Puts a terminal on standard input into key-at-a-time mode until EndConsoleKeys; Ctrl-C
// still interrupts. While the program is a background job the terminal is neither read nor
// set; key mode comes back when it is brought to the foreground. Anything else on standard
// input is read as it stands.
void BeginConsoleKeys();
// Puts the terminal back exactly as it was when key mode last went on: at BeginConsoleKeys,
// or on coming back to the foreground.
void EndConsoleKeys();

// 1 when a key press is waiting; never waits. At end of input no key is waiting any more.
int32_t KeyPressWaiting();
// Takes one key: its code, EscKeyCode only for a lone ESC, SequenceKeyCode for a whole
// escape sequence. Call only when KeyPressWaiting said 1.
int32_t TakeKeyCode();
