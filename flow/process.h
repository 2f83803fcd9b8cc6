// The process the run lives in: its standard descriptors, a reader of its output that has
// gone, and which of its threads take signals.
#pragma once

// First thing in main. Descriptors 0, 1 and 2 that are closed are opened on /dev/null, so
// that no file the program opens later takes their place; and output to a reader that has
// gone fails instead of ending the process (no SIGPIPE).
void SetUpProcess();
// Threads that the calling (main) thread starts between these two calls take no signal
// that comes from outside: such signals are left to the main thread. Faults stay with the
// thread that makes them.
void BeginStartingThreads();
void EndStartingThreads();
