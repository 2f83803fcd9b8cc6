// The clock that paces the conversation with the remote: the probe's wait for its first data,
// when it was last heard, when it is told again, asked for its status, or given up for lost;
// and the events' retries and heartbeats.
#pragma once
#include <cstdint>

// Milliseconds on a clock that never goes back; only differences mean anything.
int64_t RemoteClockMs();
