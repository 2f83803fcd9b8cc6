// The Wii Remote's reports: the device handle, the two configuration commands, and the
// decoding of input reports into the DeviceState that the probe and the detection loop read.
#pragma once
#include <atomic>
#include <cstdint>

constexpr int32_t WiiRemoteVendorId = 0x057E;
constexpr int32_t WiiRemoteProductId = 0x0306;
// The Wii Remote Plus, the same remote under a product ID of its own; the HID layer opens it
// when asked for the remote.
constexpr int32_t WiiRemotePlusProductId = 0x0330;

constexpr uint8_t LedsReport = 0x11;           // output: 11 LL
constexpr uint8_t ReportingModeReport = 0x12;  // output: 12 FF MM
constexpr uint8_t StatusReport = 0x20;         // input: sent unasked; data reports stop after it
constexpr uint8_t ButtonsReport = 0x30;        // input: 30 B1 B2
constexpr uint8_t ButtonsAccelReport = 0x31;   // input: 31 B1 B2 X Y Z

extern int32_t DeviceHandle;  // set by the main flow from OpenHidHandle; -1 when none
extern uint8_t OutputReport[256];
extern uint32_t OutputCount;
extern uint8_t InputReport[256];
extern uint32_t InputCount;

// DeviceState: last decoded values, shared with the probe's reader as single-byte atomics.
extern std::atomic<uint8_t> ButtonByte1;
extern std::atomic<uint8_t> ButtonByte2;  // bit 7 (0x80) is the Home button
extern std::atomic<uint8_t> AccelX;
extern std::atomic<uint8_t> AccelY;
extern std::atomic<uint8_t> AccelZ;

// LED bits 0x10..0x80 are LEDs 1..4; bit 0 is rumble.
void SetLeds(uint8_t leds);
// Selects which input report the remote sends (mode) and how (flags: rumble, continuous).
void SetReportingMode(uint8_t flags, uint8_t mode);

// Waits up to waitMs (or WaitWithoutLimit) for the next input report and decodes it into the
// DeviceState; returns 1 when a report was read, 0 when none came.
int32_t ReadInputReport(int32_t waitMs);
