#include "wii_remote.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "hid_access.h"
#include "message_box.h"
#include "remote_clock.h"

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
uint8_t ZeroGX = UncalibratedZeroG;
uint8_t ZeroGY = UncalibratedZeroG;
uint8_t ZeroGZ = UncalibratedZeroG;
uint8_t OneGX = UncalibratedOneG;
uint8_t OneGY = UncalibratedOneG;
uint8_t OneGZ = UncalibratedOneG;

static_assert(sizeof InputReport == HidReportBytes && sizeof OutputReport == HidReportBytes,
              "the HID layer fills and sends whole report buffers");

// Output reports, each sent at its own length: a longer one reaches the remote as malformed.
constexpr uint8_t LedsReport = 0x11;  // 11 LL
constexpr uint32_t LedsReportBytes = 2;
constexpr uint8_t ReportingModeReport = 0x12;  // 12 FF MM
constexpr uint32_t ReportingModeReportBytes = 3;
constexpr uint8_t StatusRequestReport = 0x15;  // 15 RR, RR bit 0 the rumble
constexpr uint32_t StatusRequestReportBytes = 2;
constexpr uint8_t ReadMemoryReport = 0x17;  // 17 CC A2 A1 A0 S1 S0: CC 0 reads EEPROM, rumble off
constexpr uint32_t ReadMemoryReportBytes = 7;

// Input reports.
constexpr uint8_t StatusReport = 0x20;  // 20 B1 B2 LF 00 00 VV: LF the flags, VV the battery level
// 21 B1 B2 SE AH AL D0..D15: SE's high nibble the bytes less one, its low nibble an error; AH AL
// the low 16 bits of D0's address.
constexpr uint8_t MemoryDataReport = 0x21;
constexpr uint32_t MemoryDataBytesAtMost = 16;
constexpr uint8_t ButtonsReport = 0x30;  // 30 B1 B2
constexpr uint8_t FirstDataReport = 0x30;  // 0x30..0x3F: the data report of each reporting mode
constexpr uint8_t LastDataReport = 0x3F;
constexpr uint8_t BatteryNearlyEmptyFlag = 0x01;  // in LF
constexpr uint8_t LowBatteryLevel = 0x20;         // VV under this is low

// The remote sends a report at least every 10 ms while it reports: silences are its trouble.
constexpr int64_t SilenceBeforeTellingAgainMs = 1000;  // and again after each further second
constexpr int64_t SilenceBeforeLostMs = 3000;
// The remote never says by itself that its battery is low: it must be asked.
constexpr int64_t StatusPollMs = 60000;
// So that a remote that takes a moment to switch modes is not flooded.
constexpr int64_t ReselectSpacingMs = 250;

// The remote's EEPROM holds its calibration twice, in blocks of 10 bytes at 0x0016 and 0x0020:
// zero-g points of X, Y, Z (high 8 bits), their low bits, the 1 g points and their low bits,
// a byte of settings, and a checksum. Both are read with one request, whose answers come at
// 0x0016 and 0x0026: the kernel driver's own register reads, whose answers reach this program
// too, can carry 0x0020 in their 16 address bits, but never these.
constexpr uint16_t CalibrationAddress = 0x0016;
constexpr uint32_t CalibrationBlockBytes = 10;
constexpr uint32_t CalibrationBytes = 2 * CalibrationBlockBytes;
constexpr uint8_t CalibrationChecksumSeed = 0x55;
constexpr int64_t CalibrationAnswerMs = 250;  // with no answer by then it is asked again,
constexpr int CalibrationRequestsAtMost = 3;  // this often at most
// A block with a zero-g point outside these, or a 1 g point no further above its zero, is no
// remote's: 8-bit readings, as the window has them.
constexpr uint8_t LowestZeroG = 96;
constexpr uint8_t HighestZeroG = 160;
constexpr int32_t FewestCountsPerG = 11;
constexpr int64_t NothingDue = INT64_MAX;
// The clock counts whole milliseconds: what falls due after a time does so one later, so that
// its rounding never cuts a silence short.
constexpr int64_t ClockGrainMs = 1;

static int64_t After(int64_t now, int64_t ms) { return now + ms + ClockGrainMs; }

// What the remote was last told, told again whenever it needs it.
static uint8_t ToldFlags;
static uint8_t ToldMode;
static bool ModeTold;
static uint8_t ToldLeds;
static bool LedsTold;

// The conversation's clock: when the remote was last heard, and when what is due falls due.
static int64_t LastHeardMs;
static int64_t TellAgainMs;
static int64_t StatusDueMs;
static int64_t ReselectAllowedMs;
static bool Watching;        // from BeginWatching: status polls and notices
static bool Lost;            // "Wii-Remote lost." said, and no report since
static bool BatteryLowSaid;  // since the last status report that showed the battery not low
static uint8_t Calibration[CalibrationBytes];  // as the answer comes
static uint32_t CalibrationHeld;               // bytes of it so far
static int CalibrationRequests;                // for the read in progress; 0 when none is
static int64_t CalibrationRetryMs;

static void Send(uint32_t length) { WriteReport(DeviceHandle, OutputReport, length, &OutputCount); }

static void SendMode() {
    OutputReport[0] = ReportingModeReport;
    OutputReport[1] = ToldFlags;
    OutputReport[2] = ToldMode;
    Send(ReportingModeReportBytes);
}

static void SendLeds() {
    OutputReport[0] = LedsReport;
    OutputReport[1] = ToldLeds;
    Send(LedsReportBytes);
}

static void RequestStatus(int64_t now) {
    OutputReport[0] = StatusRequestReport;
    OutputReport[1] = 0x00;
    Send(StatusRequestReportBytes);
    StatusDueMs = After(now, StatusPollMs);
}

static void RequestCalibration(int64_t now) {
    const uint8_t request[ReadMemoryReportBytes] = {
        ReadMemoryReport, 0x00, 0x00, CalibrationAddress >> 8, CalibrationAddress & 0xFF, 0x00, CalibrationBytes};
    std::memcpy(OutputReport, request, sizeof request);
    Send(ReadMemoryReportBytes);
    ++CalibrationRequests;
    CalibrationHeld = 0;
    CalibrationRetryMs = After(now, CalibrationAnswerMs);
}

// Reads the calibration afresh; the fixed window holds until its answer.
static void ReadCalibration(int64_t now) {
    ZeroGX = ZeroGY = ZeroGZ = UncalibratedZeroG;
    OneGX = OneGY = OneGZ = UncalibratedOneG;
    CalibrationRequests = 0;
    RequestCalibration(now);
}

static bool BlockCounts(const uint8_t* block) {
    uint8_t sum = CalibrationChecksumSeed;
    for (uint32_t i = 0; i + 1 < CalibrationBlockBytes; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    if (sum != block[CalibrationBlockBytes - 1]) return false;
    for (int axis = 0; axis < 3; ++axis) {
        const uint8_t zeroG = block[axis], oneG = block[4 + axis];
        if (zeroG < LowestZeroG || zeroG > HighestZeroG || oneG < zeroG + FewestCountsPerG) return false;
    }
    return true;
}

// A memory answer: the calibration's next part, or an error for it, ends or furthers its read;
// any other is another reader's, and left alone.
static void HearMemoryData(int64_t now) {
    const uint32_t bytes = (InputReport[3] >> 4) + 1u;
    const bool error = (InputReport[3] & 0x0F) != 0;
    const uint32_t address = static_cast<uint32_t>(InputReport[4] << 8 | InputReport[5]);
    const uint32_t expected = std::min(MemoryDataBytesAtMost, CalibrationBytes - CalibrationHeld);
    if (CalibrationRequests == 0 || address != CalibrationAddress + CalibrationHeld) return;
    if (!error && bytes != expected) return;
    if (!error) {
        std::memcpy(Calibration + CalibrationHeld, InputReport + 6, bytes);
        CalibrationHeld += bytes;
        CalibrationRetryMs = After(now, CalibrationAnswerMs);
        if (CalibrationHeld < CalibrationBytes) return;
    }
    CalibrationRequests = 0;  // answered, well or badly: asked no more
    if (error) return;
    for (const uint8_t* block : {Calibration, Calibration + CalibrationBlockBytes}) {
        if (!BlockCounts(block)) continue;
        ZeroGX = block[0];
        ZeroGY = block[1];
        ZeroGZ = block[2];
        OneGX = block[4];
        OneGY = block[5];
        OneGZ = block[6];
        return;
    }
}

// Mode first: a remote that has just connected sends only button reports until told.
static void TellAgain(int64_t now) {
    if (ModeTold) SendMode();
    if (LedsTold) SendLeds();
    if (Watching) RequestStatus(now);
    TellAgainMs = After(now, SilenceBeforeTellingAgainMs);
}

void SetLeds(uint8_t leds) {
    ToldLeds = leds;
    LedsTold = true;
    SendLeds();
}

void SetReportingMode(uint8_t flags, uint8_t mode) {
    // The program selects the mode once, at the start of its conversation with the remote.
    int64_t now = RemoteClockMs();
    ToldFlags = flags;
    ToldMode = mode;
    ModeTold = true;
    LastHeardMs = now;
    TellAgainMs = After(now, SilenceBeforeTellingAgainMs);
    ReselectAllowedMs = now;
    Watching = Lost = BatteryLowSaid = false;
    CalibrationRequests = 0;
    ZeroGX = ZeroGY = ZeroGZ = UncalibratedZeroG;
    OneGX = OneGY = OneGZ = UncalibratedOneG;
    SendMode();
}

void BeginWatching() {
    Watching = true;
    int64_t now = RemoteClockMs();
    RequestStatus(now);
    ReadCalibration(now);
}

// Does what silence has made due by now; returns when the next thing falls due.
static int64_t KeepRemoteWatched(int64_t now) {
    if (!ModeTold) return NothingDue;
    if (now >= TellAgainMs) TellAgain(now);
    int64_t due = TellAgainMs;
    if (!Watching) return due;
    if (now >= StatusDueMs) RequestStatus(now);
    due = std::min(due, StatusDueMs);
    if (CalibrationRequests > 0 && now >= CalibrationRetryMs) {
        if (CalibrationRequests < CalibrationRequestsAtMost)
            RequestCalibration(now);
        else
            CalibrationRequests = 0;  // no answer: the fixed window stays
    }
    if (CalibrationRequests > 0) due = std::min(due, CalibrationRetryMs);
    const int64_t lostMs = After(LastHeardMs, SilenceBeforeLostMs);
    if (!Lost && now >= lostMs) {
        Lost = true;
        ShowNotice("Wii-Remote lost.");
    }
    return Lost ? due : std::min(due, lostMs);
}

static void NoteBattery() {
    bool low = (InputReport[3] & BatteryNearlyEmptyFlag) != 0 || InputReport[6] < LowBatteryLevel;
    if (low && !BatteryLowSaid) ShowNotice("Wii-Remote battery low.");
    BatteryLowSaid = low;
}

// What a report tells of the remote itself, before its bytes are decoded.
static void HearRemote(int64_t now) {
    LastHeardMs = now;
    TellAgainMs = After(now, SilenceBeforeTellingAgainMs);
    uint8_t id = InputReport[0];
    if (Lost) {
        Lost = false;
        ShowNotice("Wii-Remote back.");
        TellAgain(now);
        ReadCalibration(now);  // it may be another remote
    }
    if (id == MemoryDataReport) HearMemoryData(now);
    if (id == StatusReport) {
        // The remote stops its data reports after every status report, asked for or not
        // (an extension plugged, the kernel's own driver asking), until its mode is written again.
        if (ModeTold) SendMode();
        if (Watching) NoteBattery();
        return;
    }
    // A data report of another mode: the kernel's own driver selects its mode whenever a program
    // opens or closes one of its input devices, and a remote that reconnected by itself is in
    // its power-on mode.
    bool otherMode = id >= FirstDataReport && id <= LastDataReport && ModeTold && id != ToldMode;
    if (otherMode && now >= ReselectAllowedMs) {
        ReselectAllowedMs = now + ReselectSpacingMs;
        SendMode();
    }
}

int32_t ReadInputReport(int32_t waitMs) {
    const bool limited = waitMs != WaitWithoutLimit;
    const int64_t endMs = RemoteClockMs() + (limited ? waitMs : 0);
    for (;;) {
        int64_t now = RemoteClockMs();
        int64_t due = KeepRemoteWatched(now);
        // The caller's wait, unless something falls due before it ends.
        const bool lastSlice = limited && endMs <= due;
        if (lastSlice) due = endMs;
        int32_t sliceMs = due == NothingDue ? WaitWithoutLimit : static_cast<int32_t>(std::max<int64_t>(0, due - now));
        int32_t got = ReadReport(DeviceHandle, InputReport, &InputCount, sliceMs);
        if (got == HidReportRead) break;
        if (got == HidReadsStopped || (got == HidNothingRead && lastSlice)) return 0;
        if (got == HidDeviceReopened) TellAgain(RemoteClockMs());
    }
    HearRemote(RemoteClockMs());
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
    default:
        break;
    }
    return 1;
}
