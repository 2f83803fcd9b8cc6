// How long a task has waited for a CPU: time that no program controls, which timed checks leave
// out so that they do not rest on the machine's load.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>

// In ns, from a /proc task folder: "/proc/thread-self", "/proc/PID".
inline uint64_t CpuWaitNs(const std::string& task) {
    std::ifstream schedstat(task + "/schedstat");
    uint64_t ranNs = 0, waitedNs = 0;
    schedstat >> ranNs >> waitedNs;
    return waitedNs;
}
