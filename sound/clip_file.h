// The clip's file, opened and read without ever waiting on it, whatever kind of file it is.
#pragma once
#include <cstdint>

constexpr int32_t NoClipFile = -1;

// Opens the named file for reading; NoClipFile when it cannot be opened. A FIFO with no
// writer opens at once.
int32_t OpenClipFile(const char* name);
// Reads up to maxBytes from the start of the file into `into` and returns how many came: a
// regular file up to its end, a FIFO or a device only what it has at once.
uint32_t ReadClipFile(int32_t file, uint8_t* into, uint32_t maxBytes);
void CloseClipFile(int32_t file);
