// The alarm's calls to someone from the remote: the events of an alarm, help called with the
// A button held, and the all-clear of a short press after an alarm.
#pragma once
#include <cstdint>

constexpr uint8_t AButton = 0x08;  // in ButtonByte2
constexpr int32_t HelpHoldReports = 200;  // with A held: 2 s at the remote's 100 reports a second
constexpr int64_t AllClearMs = 120000;    // after an alarm, a short press of A says all is well

// After a PlayAlertSound: raises no-sound when that play said the alarm is mute, or ends that
// trouble when it sounded.
void TellOfPlay();
// After the PlayAlertSound of an alarm: TellOfPlay, the alarm's event (fall, help), and a
// short press of A may say all is well for the next AllClearMs.
void AlarmSounded(const char* event);
// Once each pass, with the DeviceState of its report: after HelpHoldReports with A held, the
// alarm sounds and help is raised; A let go sooner, after an alarm, raises ok (once an alarm).
void WatchHelpButton();
