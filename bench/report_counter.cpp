// Counts every input report the program reads, for the CPU benchmark. The link wraps
// ReadReport (-Wl,--wrap on its C++ symbol); the count lives in a file mapped shared, named
// by SENTRY_BENCH_REPORT_COUNT, so that the benchmark reads it while the program runs. With
// SENTRY_BENCH_AT_REST set, the remote is held at rest: its accelerometer reports read as the
// simulated remote's rest, so that no fall sounds the alarm.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "hid_access.h"

extern "C" int32_t __real__Z10ReadReportiPhPji(int32_t handle, uint8_t* report, uint32_t* count, int32_t waitMs);

using ReportCount = std::atomic<uint64_t>;
static_assert(ReportCount::is_always_lock_free, "the count is read by another process");

// Null when no file was named or it cannot be mapped: the program then runs uncounted.
static ReportCount* MapReportCount() {
    const char* path = std::getenv("SENTRY_BENCH_REPORT_COUNT");
    if (path == nullptr) return nullptr;
    int file = open(path, O_RDWR | O_CREAT, 0644);
    if (file < 0) return nullptr;
    void* at = MAP_FAILED;
    if (ftruncate(file, sizeof(ReportCount)) == 0)
        at = mmap(nullptr, sizeof(ReportCount), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);  // the mapping stays
    if (at == MAP_FAILED) return nullptr;
    return new (at) ReportCount(0);
}

// Mapped before main, so before the probe's reader and the loop both read.
static ReportCount* const ReportsRead = MapReportCount();
static const bool AtRest = std::getenv("SENTRY_BENCH_AT_REST") != nullptr;
constexpr uint8_t AccelReport = 0x31;
constexpr uint8_t RestReadings[3] = {0x82, 0x82, 0x9C};  // x, y, z, as hid_access_sim.cpp has them

extern "C" int32_t __wrap__Z10ReadReportiPhPji(int32_t handle, uint8_t* report, uint32_t* count, int32_t waitMs) {
    const int32_t got = __real__Z10ReadReportiPhPji(handle, report, count, waitMs);
    if (got == HidReportRead && ReportsRead != nullptr) ReportsRead->fetch_add(1, std::memory_order_relaxed);
    if (got == HidReportRead && AtRest && report[0] == AccelReport && *count >= 6) {
        for (int axis = 0; axis < 3; ++axis) report[3 + axis] = RestReadings[axis];
    }
    return got;
}
