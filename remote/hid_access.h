// The HID access layer: finds, opens, reads, writes and closes the one device the program
// talks to, and opens it again when it went away. It knows no report of any device.
#pragma once
#include <cstdint>

constexpr int32_t NoHidHandle = -1;
constexpr uint32_t HidReportBytes = 256;  // size of every report buffer handed to this layer
constexpr int32_t WaitWithoutLimit = -1;  // for ReadReport's waitMs

// What ReadReport brought.
constexpr int32_t HidNothingRead = 0;     // the wait ran out, or the device is away
constexpr int32_t HidReportRead = 1;
constexpr int32_t HidDeviceReopened = 2;  // it went away and is open again, knowing nothing it was told
constexpr int32_t HidReadsStopped = 3;    // by StopReadReport, or the handle is closed

// Opens a device with these identifiers, or for the Wii Remote a Wii Remote Plus too; returns
// its handle, or NoHidHandle when none can be opened.
int32_t OpenHidHandle(int32_t vendorId, int32_t productId);

// Waits up to waitMs (or WaitWithoutLimit) for one input report and places it, report ID
// in byte 0, in the HidReportBytes-byte buffer, its length in *count (0 unless a report came).
int32_t ReadReport(int32_t handle, uint8_t* report, uint32_t* count, int32_t waitMs);

// Sends the first `length` bytes of report, its ID in byte 0; *count is what was sent, 0 while
// the device is away (the report is then lost).
void WriteReport(int32_t handle, const uint8_t* report, uint32_t length, uint32_t* count);

void CloseHidHandle(int32_t handle);

// From any thread: a ReadReport in progress, and every later one, returns HidReadsStopped at
// once until ResumeReadReport.
void StopReadReport();
void ResumeReadReport();
