// The remote's clock on the C++ steady clock.
#include <chrono>

#include "remote_clock.h"

int64_t RemoteClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
