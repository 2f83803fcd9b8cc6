// The Wii Remote and the program's whole conversation with it: the device handle, the commands,
// the decoding of input reports into the DeviceState that the probe and the detection loop read,
// the remote's own calibration, and keeping the remote reporting and watched: told again what it
// was told, asked for its status, and said to be lost, back, or low on battery.
#pragma once
#include <atomic>
#include <cstdint>

constexpr int32_t WiiRemoteVendorId = 0x057E;
constexpr int32_t WiiRemoteProductId = 0x0306;
// The Wii Remote Plus, the same remote under a product ID of its own; the HID layer opens it
// when asked for the remote.
constexpr int32_t WiiRemotePlusProductId = 0x0330;

constexpr uint8_t ButtonsAccelReport = 0x31;  // input: 31 B1 B2 X Y Z, the mode the program selects

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

// Each axis's reading in free fall, and at rest with 1 g along it: this remote's own, from its
// calibration, once read; until then, and for a remote whose calibration cannot be had, the
// uncalibrated points (26 counts a g).
constexpr uint8_t UncalibratedZeroG = 128;
constexpr uint8_t UncalibratedOneG = 154;
extern uint8_t ZeroGX;
extern uint8_t ZeroGY;
extern uint8_t ZeroGZ;
extern uint8_t OneGX;
extern uint8_t OneGY;
extern uint8_t OneGZ;

// LED bits 0x10..0x80 are LEDs 1..4; bit 0 is rumble.
void SetLeds(uint8_t leds);
// Selects which input report the remote sends (mode) and how (flags: rumble, continuous).
void SetReportingMode(uint8_t flags, uint8_t mode);

// Once the remote has proved that it reports: asks for its status now and every minute, reads its
// calibration (again whenever it comes back), and from now on says on standard error when it is
// lost, when it is back, and when its battery is low. Nothing waits for the answers.
void BeginWatching();

// Waits up to waitMs (or WaitWithoutLimit) for the next input report and decodes it into the
// DeviceState; returns 1 when a report was read, 0 when none came. Meanwhile it keeps the remote
// reporting: it tells the remote its mode again after a status report or a report of another mode,
// and mode, LEDs and a status request after each second of silence or when the device reopens.
int32_t ReadInputReport(int32_t waitMs);
