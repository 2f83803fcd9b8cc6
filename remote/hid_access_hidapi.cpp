// The HID access layer on hidapi (hidraw): one remote at a time, reads that can be stopped
// from another thread, a remote that drops and comes back under the same handle, and a remote
// told again what it was told when it stops sending what it was asked for.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "hid_access.h"
#include "wii_remote.h"

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr int32_t OpenedHandle = 1;  // the one device this layer holds open

constexpr uint8_t LedsReportId = 0x11;         // 11 LL
constexpr uint32_t LedsReportBytes = 2;
constexpr uint8_t ReportingModeReportId = 0x12;  // 12 FF MM
constexpr uint32_t ReportingModeReportBytes = 3;
constexpr uint32_t LongestOutputReportBytes = 3;
constexpr uint8_t FirstDataReportId = 0x30;  // input reports 0x30..0x3F: one for each mode
constexpr uint8_t LastDataReportId = 0x3F;

struct KeptReport {
    uint8_t bytes[LongestOutputReportBytes];
    uint32_t count;  // 0: never sent
};

// Everything below is guarded by HidLock; hidapi itself is called without it, by whoever
// holds the device's turn (DeviceBusy).
static std::mutex HidLock;
static std::condition_variable HidChanged;
static bool HidInitialised;
static bool Opened;          // from a successful OpenHidHandle to CloseHidHandle
static hid_device* Device;   // null while the remote is away
static unsigned short OpenedVendor;
static unsigned short OpenedProduct;
static bool DeviceBusy;      // a hidapi call on the device is running
static int WritesWaiting;    // writers go before the reader's next slice
static bool ReadsStopped;
static int FailedReads;      // in a row
static Clock::time_point FailingSince;
static Clock::time_point RetryAt;  // no read or open of the device before this
static KeptReport LastModeReport;  // re-sent, in this order, when the remote comes back
static KeptReport LastLedsReport;
static Clock::time_point TellAgainAt;        // no input report by then: mode and LEDs again
static Clock::time_point ReselectAllowedAt;  // the mode again, for a report of another mode

// The length of each output report the program sends; hidapi passes exactly this many bytes.
static uint32_t OutputReportBytes(uint8_t reportId) {
    if (reportId == LedsReportId) return LedsReportBytes;
    if (reportId == ReportingModeReportId) return ReportingModeReportBytes;
    return 0;
}

static KeptReport* KeptReportFor(uint8_t reportId) {
    if (reportId == LedsReportId) return &LastLedsReport;
    if (reportId == ReportingModeReportId) return &LastModeReport;
    return nullptr;
}

// hidapi 0.13 is not thread-safe on one device: its calls take turns. A reader steps aside
// while a writer waits, so a write waits at most one read slice.
static bool TakeDeviceTurn(std::unique_lock<std::mutex>& lock, bool forRead) {
    if (forRead) {
        HidChanged.wait(lock, [] { return ReadsStopped || !Opened || (!DeviceBusy && WritesWaiting == 0); });
        if (ReadsStopped || !Opened) return false;
    } else {
        HidChanged.wait(lock, [] { return !DeviceBusy; });
    }
    DeviceBusy = true;
    return true;
}

static void GiveDeviceTurn() {
    DeviceBusy = false;
    HidChanged.notify_all();
}

// No input report for this long while the remote is open: it is told again what it was told.
constexpr Milliseconds SilenceBeforeTellingAgain(1000);

static void ClearDeviceState() {
    Device = nullptr;
    FailedReads = 0;
    RetryAt = Clock::time_point();
    LastModeReport.count = 0;
    LastLedsReport.count = 0;
    ReselectAllowedAt = Clock::time_point();
}

// The Wii U Pro Controller shares the Wii Remote Plus's product ID; its reports are not a
// remote's, and it is never opened. For a Bluetooth device hidapi's product string is the
// kernel's name of it (HID_NAME): "Nintendo RVL-CNT-01-UC" for the controller,
// "Nintendo RVL-CNT-01-TR" for the remote.
constexpr wchar_t ProControllerName[] = L"RVL-CNT-01-UC";

static bool IsAskedFor(const hid_device_info* device) {
    if (device->vendor_id != OpenedVendor || !device->path) return false;
    if (device->product_id == OpenedProduct) return true;
    bool remotePlus = OpenedVendor == WiiRemoteVendorId && OpenedProduct == WiiRemoteProductId &&
                      device->product_id == WiiRemotePlusProductId;
    return remotePlus && !(device->product_string && std::wcsstr(device->product_string, ProControllerName));
}

// Opens the first device that is the one asked for; null when there is none. Called without
// HidLock.
static hid_device* OpenAskedDevice() {
    hid_device_info* listed = hid_enumerate(OpenedVendor, 0);
    hid_device* found = nullptr;
    for (const hid_device_info* device = listed; device && !found; device = device->next)
        if (IsAskedFor(device)) found = hid_open_path(device->path);
    hid_free_enumeration(listed);
    return found;
}

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    std::unique_lock<std::mutex> lock(HidLock);
    if (Opened) return NoHidHandle;
    if (!HidInitialised) {
        if (hid_init() != 0) return NoHidHandle;
        HidInitialised = true;
    }
    OpenedVendor = static_cast<unsigned short>(vendorId);
    OpenedProduct = static_cast<unsigned short>(productId);
    hid_device* found = OpenAskedDevice();
    if (!found) {
        hid_exit();
        HidInitialised = false;
        return NoHidHandle;
    }
    ClearDeviceState();
    Device = found;
    TellAgainAt = Clock::now() + SilenceBeforeTellingAgain;
    Opened = true;
    return OpenedHandle;
}

// Called with the device's turn held, after a read returned -1.
static void NoteFailedRead(std::unique_lock<std::mutex>& lock) {
    // A -1 right after good reads is most often a signal that interrupted hidapi's poll.
    constexpr Milliseconds FirstRetryAfter(10);
    // A remote that has gone makes every read fail at once: wait between tries, never spin.
    constexpr Milliseconds FailedRetryAfter(250);
    constexpr Milliseconds GoneAfterFailing(1000);
    Clock::time_point now = Clock::now();
    if (FailedReads++ == 0) {
        FailingSince = now;
        RetryAt = now + FirstRetryAfter;
        return;
    }
    if (now - FailingSince < GoneAfterFailing) {
        RetryAt = now + FailedRetryAfter;
        return;
    }
    // A hidraw node that went away stays dead even when the remote comes back as a new one.
    hid_device* dead = Device;
    Device = nullptr;
    FailedReads = 0;
    RetryAt = now;
    lock.unlock();
    hid_close(dead);
    lock.lock();
}

// Called with the device's turn held: tells the remote again the mode it was last told, and
// with withLeds its LEDs after it, with HidLock let go meanwhile. Mode first: a remote that has
// just connected sends only button reports (0x30) until told.
static void SendKept(std::unique_lock<std::mutex>& lock, bool withLeds) {
    KeptReport mode = LastModeReport;
    KeptReport leds = LastLedsReport;
    hid_device* device = Device;
    lock.unlock();
    if (mode.count) hid_write(device, mode.bytes, mode.count);
    if (withLeds && leds.count) hid_write(device, leds.bytes, leds.count);
    lock.lock();
}

// Called with the device away and its retry time reached: opens the remote again if it is
// there, and tells it again what the program last told it.
static void LookForRemote(std::unique_lock<std::mutex>& lock) {
    constexpr Milliseconds LookAgainAfter(1000);
    if (!TakeDeviceTurn(lock, true)) return;
    if (Device) {  // another reader found it first
        GiveDeviceTurn();
        return;
    }
    lock.unlock();
    hid_device* found = OpenAskedDevice();
    lock.lock();
    if (found) {
        Device = found;
        FailedReads = 0;
        SendKept(lock, true);
        TellAgainAt = Clock::now() + SilenceBeforeTellingAgain;
    } else {
        RetryAt = Clock::now() + LookAgainAfter;
    }
    GiveDeviceTurn();
}

// Called with the device's turn held, after a report was read. The remote sends only the data
// report of the mode it was last told, and only while nobody tells it another; the kernel's own
// driver selects its mode whenever a program opens or closes one of its input devices.
static void NoteReport(std::unique_lock<std::mutex>& lock, uint8_t reportId) {
    // So that a remote that takes a moment to switch is not flooded.
    constexpr Milliseconds ReselectSpacing(250);
    Clock::time_point now = Clock::now();
    TellAgainAt = now + SilenceBeforeTellingAgain;
    bool otherMode = reportId >= FirstDataReportId && reportId <= LastDataReportId &&
                     LastModeReport.count && reportId != LastModeReport.bytes[2];
    if (!otherMode || now < ReselectAllowedAt) return;
    ReselectAllowedAt = now + ReselectSpacing;
    SendKept(lock, false);
}

// The read slice cut short, if need be, so that it ends by `end`.
static int32_t SliceEndingBy(int32_t sliceMs, Clock::time_point now, Clock::time_point end) {
    Clock::duration left = std::max(Clock::duration::zero(), end - now);
    return std::min(sliceMs, static_cast<int32_t>(std::chrono::ceil<Milliseconds>(left).count()));
}

int32_t ReadReport(int32_t handle, uint8_t* report, uint32_t* count, int32_t waitMs) {
    // hidapi 0.13 has no cancel: a read is a loop of short waits, with a stop check between.
    constexpr int32_t ReadSliceMs = 100;
    *count = 0;
    const bool limited = waitMs >= 0;
    const Clock::time_point deadline = Clock::now() + Milliseconds(limited ? waitMs : 0);
    std::unique_lock<std::mutex> lock(HidLock);
    bool tried = false;
    for (;;) {
        if (ReadsStopped || !Opened || handle != OpenedHandle) return 0;
        Clock::time_point now = Clock::now();
        if (limited && tried && now >= deadline) return 0;
        tried = true;
        if (now < RetryAt) {
            HidChanged.wait_until(lock, limited ? std::min(RetryAt, deadline) : RetryAt);
            continue;
        }
        if (!Device) {
            LookForRemote(lock);
            continue;
        }
        if (!TakeDeviceTurn(lock, true)) return 0;
        if (!Device) {
            GiveDeviceTurn();
            continue;
        }
        // A remote that dropped with its node kept, or that came back by itself, is silent:
        // it waits in its power-on mode, or in the kernel driver's, for the mode it was told.
        // A failing device is left to NoteFailedRead.
        const bool working = FailedReads == 0;
        now = Clock::now();
        if (working && now >= TellAgainAt) {
            SendKept(lock, true);
            TellAgainAt = Clock::now() + SilenceBeforeTellingAgain;
            GiveDeviceTurn();
            continue;
        }
        int32_t sliceMs = ReadSliceMs;
        if (working) sliceMs = SliceEndingBy(sliceMs, now, TellAgainAt);  // due to be told again
        if (limited) sliceMs = SliceEndingBy(sliceMs, now, deadline);
        hid_device* device = Device;
        lock.unlock();
        int got = hid_read_timeout(device, report, HidReportBytes, sliceMs);
        lock.lock();
        if (got < 0)
            NoteFailedRead(lock);
        else
            FailedReads = 0;
        if (got > 0) NoteReport(lock, report[0]);
        GiveDeviceTurn();
        if (got > 0) {
            *count = static_cast<uint32_t>(got);
            return 1;
        }
    }
}

void WriteReport(int32_t handle, const uint8_t* report, uint32_t* count) {
    *count = 0;
    // Only the program's two commands are sent: the length of any other report is the
    // remote's to define, and a guessed length would reach it as a malformed report.
    uint32_t length = OutputReportBytes(report[0]);
    if (length == 0) return;
    std::unique_lock<std::mutex> lock(HidLock);
    if (!Opened || handle != OpenedHandle) return;
    KeptReport* kept = KeptReportFor(report[0]);
    std::memcpy(kept->bytes, report, length);
    kept->count = length;
    ++WritesWaiting;
    TakeDeviceTurn(lock, false);
    --WritesWaiting;
    if (!Opened || !Device) {  // away: the remote gets this report when it comes back
        GiveDeviceTurn();
        return;
    }
    hid_device* device = Device;
    lock.unlock();
    int written = hid_write(device, report, length);
    lock.lock();
    GiveDeviceTurn();
    if (written > 0) *count = static_cast<uint32_t>(written);
}

void CloseHidHandle(int32_t handle) {
    std::unique_lock<std::mutex> lock(HidLock);
    if (!Opened || handle != OpenedHandle) return;
    TakeDeviceTurn(lock, false);
    if (Device) hid_close(Device);
    ClearDeviceState();
    Opened = false;
    hid_exit();
    HidInitialised = false;
    GiveDeviceTurn();
}

void StopReadReport() {
    std::lock_guard<std::mutex> hold(HidLock);
    ReadsStopped = true;
    HidChanged.notify_all();
}

void ResumeReadReport() {
    std::lock_guard<std::mutex> hold(HidLock);
    ReadsStopped = false;
}
