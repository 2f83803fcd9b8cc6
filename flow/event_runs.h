// The platform side of telling someone: where the user's event command is and whether it may
// be run, its runs (one process each) and their ends, the delivery thread's sleep, and the
// signals that end the program, held until the stopped event has gone out.
#pragma once
#include <cstdint>

// What FindEventCommand found.
constexpr int32_t NoEventCommand = 0;  // none, or no executable file
constexpr int32_t EventCommandUsable = 1;
constexpr int32_t EventCommandRefused = 2;  // it or its folder may be changed by someone else
// Looks for $XDG_CONFIG_HOME/quillbramble-sentry/on-event (~/.config/... when unset) and puts
// the file it names into path (pathBytes long). Usable only when the file and its folder belong
// to the user or root and neither can be written by group or others.
int32_t FindEventCommand(char* path, int32_t pathBytes);

constexpr int32_t NoRun = -1;
constexpr int32_t RunsAtMost = 64;  // going at once; runs are numbered 0..RunsAtMost-1
// Readies the runs, and from now on holds SIGTERM, SIGINT and SIGHUP for EndingSignalCaught
// rather than letting them end the process at once (unless they were ignored from the start).
void BeginRuns();
// Gives those signals back their actions; runs still going are left to finish.
void EndRuns();
// Starts `path event`, with QUILLBRAMBLE_EVENT and QUILLBRAMBLE_EVENT_TIME (from eventTime,
// seconds since the epoch) in the program's environment: its number, or NoRun when it cannot start.
int32_t StartRun(const char* path, const char* event, int64_t eventTime);
// A run that has ended, with *wentThrough 1 when it exited 0; NoRun when none has. Never waits.
int32_t TakeEndedRun(int32_t* wentThrough);
void StopRun(int32_t run);  // asks it to end (SIGTERM)
void KillRun(int32_t run);  // ends it (SIGKILL)

constexpr int32_t AwaitWithoutLimit = -1;
// Sleeps until a run ends, WakeRunWaiter is called or waitMs (or AwaitWithoutLimit) has passed.
void AwaitRuns(int32_t waitMs);
// From any thread, and from a signal handler.
void WakeRunWaiter();
// The ending signal caught since BeginRuns, 0 while none was.
int32_t EndingSignalCaught();
// Ends the process by that signal, as it would have ended without BeginRuns.
void EndBySignal(int32_t signalNumber);
