// The HID access layer: the only way to the remote's reports. The program opens
// one device, sends output reports and reads input reports through these calls.
#pragma once
#include <cstdint>

constexpr int32_t NoHidHandle = -1;
constexpr uint32_t HidReportBytes = 256;  // size of every report buffer handed to this layer
constexpr int32_t WaitWithoutLimit = -1;  // for ReadReport's waitMs

// Opens a device with these identifiers, or for the Wii Remote a Wii Remote Plus too; returns
// its handle, or NoHidHandle when none can be opened.
int32_t OpenHidHandle(int32_t vendorId, int32_t productId);

// Waits up to waitMs (or WaitWithoutLimit) for one input report and places it, report ID
// in byte 0, in the HidReportBytes-byte buffer. Returns 1 with its length in *count, or 0
// when none came: time up, reads stopped, or the device away (never handed back as a report).
// On hidapi it also keeps the remote reporting: a data report of another mode than the one
// last written selects that mode again, and silence has the mode and LEDs written again.
int32_t ReadReport(int32_t handle, uint8_t* report, uint32_t* count, int32_t waitMs);

// Sends the output report whose ID is in byte 0, at that report's own length (in *count).
void WriteReport(int32_t handle, const uint8_t* report, uint32_t* count);

void CloseHidHandle(int32_t handle);

// From any thread: a ReadReport in progress, and every later one, returns 0 at once
// until ResumeReadReport.
void StopReadReport();
void ResumeReadReport();
