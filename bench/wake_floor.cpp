// The machine's own CPU cost of a thread woken 100 times a second from a timed wait, the way
// the simulated remote holds the program's reads until each report is due: the floor under
// the program's CPU per 1000 reports on this machine.
// Usage: bench_wake_floor WAKEUPS    Prints its figure as a name=value line.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds WakePeriod{10};
constexpr unsigned long MaxWakeups = 100000;
}  // namespace

static std::mutex WaitLock;
static std::condition_variable NeverNotified;

static int64_t ProcessCpuNs() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int main(int argc, char** argv) {
    const unsigned long wakeups = argc == 2 ? std::strtoul(argv[1], nullptr, 10) : 0;
    if (wakeups == 0 || wakeups > MaxWakeups) {
        std::fprintf(stderr, "usage: %s WAKEUPS (1..%lu)\n", argv[0], MaxWakeups);
        return 2;
    }
    const int64_t cpuBefore = ProcessCpuNs();
    Clock::time_point due = Clock::now();
    std::unique_lock<std::mutex> hold(WaitLock);
    for (unsigned long i = 0; i < wakeups; ++i) {
        due += WakePeriod;
        while (Clock::now() < due) NeverNotified.wait_until(hold, due);
    }
    const double cpuMs = double(ProcessCpuNs() - cpuBefore) / 1e6;
    std::printf("wakeups=%lu\n", wakeups);
    std::printf("cpu_ms=%.6g\n", cpuMs);
    std::printf("cpu_ms_per_1000=%.6g\n", cpuMs * 1000.0 / double(wakeups));
    return 0;
}
