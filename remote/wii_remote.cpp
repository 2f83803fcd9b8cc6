#include "wii_remote.h"

#include "hid_access.h"

int32_t DeviceHandle = NoHidHandle;
uint8_t OutputReport[256];
uint32_t OutputCount;
uint8_t InputReport[256];
uint32_t InputCount;

std::atomic<uint8_t> ButtonByte1;
std::atomic<uint8_t> ButtonByte2;
std::atomic<uint8_t> AccelX;
std::atomic<uint8_t> AccelY;
std::atomic<uint8_t> AccelZ;

static_assert(sizeof InputReport == HidReportBytes && sizeof OutputReport == HidReportBytes,
              "the HID layer fills and sends whole report buffers");

// The mode last selected, sent again whenever the remote needs to be told once more.
static uint8_t SelectedFlags;
static uint8_t SelectedMode;
static bool ModeSelected;

void SetLeds(uint8_t leds) {
    OutputReport[0] = LedsReport;
    OutputReport[1] = leds;
    WriteReport(DeviceHandle, OutputReport, &OutputCount);
}

void SetReportingMode(uint8_t flags, uint8_t mode) {
    SelectedFlags = flags;
    SelectedMode = mode;
    ModeSelected = true;
    OutputReport[0] = ReportingModeReport;
    OutputReport[1] = flags;
    OutputReport[2] = mode;
    WriteReport(DeviceHandle, OutputReport, &OutputCount);
}

int32_t ReadInputReport(int32_t waitMs) {
    if (!ReadReport(DeviceHandle, InputReport, &InputCount, waitMs)) return 0;
    switch (InputReport[0]) {
    case ButtonsAccelReport:
        AccelX = InputReport[3];
        AccelY = InputReport[4];
        AccelZ = InputReport[5];
        [[fallthrough]];
    case ButtonsReport:
        ButtonByte1 = InputReport[1];
        ButtonByte2 = InputReport[2];
        break;
    case StatusReport:
        // The remote stops its data reports after every status report, asked for or not
        // (an extension plugged, a battery event, the kernel's own driver asking), until
        // the reporting mode is written again.
        if (ModeSelected) SetReportingMode(SelectedFlags, SelectedMode);
        break;
    default:
        break;
    }
    return 1;
}
