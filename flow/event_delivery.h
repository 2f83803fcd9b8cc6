// Telling someone: every event of the run (an alarm, trouble with the remote or the sound, the
// start, the end, a heartbeat) handed to the user's event command, one run of it for each,
// tried again until it goes through, on a thread of its own that never holds up the caller.
#pragma once
#include <cstdint>

constexpr const char* RefusedNotice = "Event command refused: others may change it.";

// The events, by the names the command is given. Each is one object, whose address the
// delivery tells them apart by.
inline constexpr char StartedEvent[] = "started";
inline constexpr char FallEvent[] = "fall";
inline constexpr char HelpEvent[] = "help";
inline constexpr char OkEvent[] = "ok";
inline constexpr char LostEvent[] = "lost";
inline constexpr char BackEvent[] = "back";
inline constexpr char BatteryLowEvent[] = "battery-low";
inline constexpr char NoSoundEvent[] = "no-sound";
inline constexpr char HeartbeatEvent[] = "heartbeat";
inline constexpr char StoppedEvent[] = "stopped";

// Finds the event command and, where there is one that may be run, starts delivering. Says
// RefusedNotice when there is one that others may change.
void BeginEventDelivery();
// Raises `stopped` when `started` was, waits for its run to end (5 s at most), starts the
// events still waiting as far as runs are left, and ends the delivery; runs going are left be.
void EndEventDelivery();
// Hands one of the events above to the command, stamped with the time now; returns at once.
// Nothing without a command.
void RaiseEvent(const char* event);
// The trouble that lost, battery-low or no-sound told of is over: heartbeats may go again.
void TroubleOver(const char* event);

// For a caller that delivers itself, without the thread: BeginEventDelivery's finding, which
// starts afresh; 1 when there is a command to run.
int32_t ReadyEventDelivery();
// Does what is due at nowMs (the remote's clock): takes ended runs, sends heartbeats, stops
// runs that went on too long, starts runs. Returns when something next falls due, INT64_MAX for never.
int64_t DeliverEvents(int64_t nowMs);
