// The start-up probe: does the opened remote send accelerometer data within 100 ms? The
// read happens on a short-lived reader thread so a read that never returns cannot hang the run.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

extern std::atomic<uint8_t> ReaderRun;     // 1 while the probe wants the reader to go on
extern std::atomic<uint8_t> ReaderActive;  // 1 while the reader is inside its loop
extern std::thread ReaderThread;

// 1 when a 0x31 report with a non-zero X reading was decoded within the wait, 100 ms from
// when the reader is at its first read; else 0.
int32_t ProbeConnection();
// Ends the reader for good: stops a read it is in, cuts its sleep short and joins it.
// Afterwards the device is free for other reads and for closing.
void StopReaderThread();
// Busy-waits until strictly more than `milliseconds` have passed on the remote's clock.
void WaitMilliseconds(int32_t milliseconds);
void ReaderThreadMain(void* argument);
