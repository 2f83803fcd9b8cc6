#include "connection_probe.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "hid_access.h"
#include "process.h"
#include "remote_clock.h"
#include "wii_remote.h"

std::atomic<uint8_t> ReaderRun;
std::atomic<uint8_t> ReaderActive;
std::thread ReaderThread;

constexpr int32_t ProbeWaitMs = 100;    // how long accelerometer data may take to show up
constexpr int32_t ReaderPauseMs = 100;  // after each read, so the reader normally reads once

// The reader's pause and its decision to read again are taken under this lock, so that
// StopReaderThread either sees it reading or knows it will read no more.
static std::mutex ReaderLock;
static std::condition_variable ReaderWake;
static bool ReaderStopping;

int32_t ProbeConnection() {
    AccelX = 0;
    ReaderRun = 1;
    BeginStartingThreads();  // the reader leaves signals to the main thread
    try {
        ReaderThread = std::thread(ReaderThreadMain, nullptr);
    } catch (const std::system_error&) {
        // No reader: nothing is read, and the verdict below is "no data".
    }
    EndStartingThreads();
    // The wait is the remote's to answer in: it begins once the reader is at its read, however
    // long a busy machine takes to run the new thread.
    while (ReaderThread.joinable() && ReaderActive == 0) {
    }
    WaitMilliseconds(ProbeWaitMs);
    ReaderRun = 0;
    return AccelX != 0 ? 1 : 0;
}

void ReaderThreadMain(void*) {
    std::unique_lock<std::mutex> hold(ReaderLock);
    while (ReaderRun && !ReaderStopping) {
        ReaderActive = 1;
        hold.unlock();
        ReadInputReport(WaitWithoutLimit);
        hold.lock();
        ReaderWake.wait_for(hold, std::chrono::milliseconds(ReaderPauseMs), [] { return ReaderStopping; });
    }
    ReaderActive = 0;
}

void StopReaderThread() {
    if (!ReaderThread.joinable()) return;
    ReaderRun = 0;
    bool reading;
    {
        std::lock_guard<std::mutex> hold(ReaderLock);
        ReaderStopping = true;
        reading = ReaderActive != 0;
    }
    ReaderWake.notify_all();
    // A reader stuck in its read is woken through the HID layer; one that has ended, or
    // that never began, is only joined.
    if (reading) StopReadReport();
    ReaderThread.join();
    if (reading) ResumeReadReport();
    std::lock_guard<std::mutex> hold(ReaderLock);
    ReaderStopping = false;
}

// On the remote's clock, which counts whole milliseconds: more than `milliseconds` of them
// apart means strictly more than that many have passed.
void WaitMilliseconds(int32_t milliseconds) {
    const int64_t start = RemoteClockMs();
    while (RemoteClockMs() - start <= milliseconds) {
    }
}
