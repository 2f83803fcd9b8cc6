// Spy in place of the console keyboard: key codes are queued by the test and taken by
// the logic; it records the begin/end of key mode and each key taken.
#pragma once
#include <cstdint>

extern int FakeKeysBegins;
extern int FakeKeysEnds;
extern int FakeKeysTaken;
extern int FakeKeysPolls;  // KeyPressWaiting calls

void FakeKeysReset();
// Makes the code wait to be taken, after those already waiting.
void FakeKeysPress(int32_t code);
// Codes pressed and not yet taken.
int FakeKeysWaiting();
