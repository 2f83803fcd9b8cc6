// The HID access layer on hidapi (hidraw): one remote at a time, reads that can be stopped
// from another thread, and a remote that drops and comes back under the same handle.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <mutex>

#include "hid_access.h"
#include "wii_remote.h"

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr int32_t OpenedHandle = 1;  // the one device this layer holds open

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
static bool Reopened;              // since the last read: told to its reader as HidDeviceReopened

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

static void ClearDeviceState() {
    Device = nullptr;
    FailedReads = 0;
    RetryAt = Clock::time_point();
    Reopened = false;
}

// Two other devices share a remote's IDs; their reports are not a remote's, and they are never
// opened: the Wii U Pro Controller the Wii Remote Plus's, the Balance Board the Wii Remote's.
// For a Bluetooth device hidapi's product string is the kernel's name of it (HID_NAME):
// "Nintendo RVL-CNT-01-UC" for the controller, "Nintendo RVL-WBC-01" for the board,
// "Nintendo RVL-CNT-01" and "Nintendo RVL-CNT-01-TR" for the remotes.
constexpr wchar_t ProControllerName[] = L"RVL-CNT-01-UC";
constexpr wchar_t BalanceBoardName[] = L"RVL-WBC-01";

static bool IsAskedFor(const hid_device_info* device) {
    if (device->vendor_id != OpenedVendor || !device->path) return false;
    bool remote = OpenedVendor == WiiRemoteVendorId && OpenedProduct == WiiRemoteProductId;
    if (!remote) return device->product_id == OpenedProduct;
    const wchar_t* name = device->product_string;
    bool notARemote = name && (std::wcsstr(name, ProControllerName) || std::wcsstr(name, BalanceBoardName));
    return (device->product_id == WiiRemoteProductId || device->product_id == WiiRemotePlusProductId) && !notARemote;
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

// Called with the device away and its retry time reached: opens the remote again if it is
// there.
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
        Reopened = true;
    } else {
        RetryAt = Clock::now() + LookAgainAfter;
    }
    GiveDeviceTurn();
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
        if (ReadsStopped || !Opened || handle != OpenedHandle) return HidReadsStopped;
        if (Reopened) {
            Reopened = false;
            return HidDeviceReopened;
        }
        Clock::time_point now = Clock::now();
        if (limited && tried && now >= deadline) return HidNothingRead;
        tried = true;
        if (now < RetryAt) {
            HidChanged.wait_until(lock, limited ? std::min(RetryAt, deadline) : RetryAt);
            continue;
        }
        if (!Device) {
            LookForRemote(lock);
            continue;
        }
        if (!TakeDeviceTurn(lock, true)) continue;
        if (!Device) {
            GiveDeviceTurn();
            continue;
        }
        int32_t sliceMs = limited ? SliceEndingBy(ReadSliceMs, Clock::now(), deadline) : ReadSliceMs;
        hid_device* device = Device;
        lock.unlock();
        int got = hid_read_timeout(device, report, HidReportBytes, sliceMs);
        lock.lock();
        if (got < 0)
            NoteFailedRead(lock);
        else
            FailedReads = 0;
        GiveDeviceTurn();
        if (got > 0) {
            *count = static_cast<uint32_t>(got);
            return HidReportRead;
        }
    }
}

void WriteReport(int32_t handle, const uint8_t* report, uint32_t length, uint32_t* count) {
    *count = 0;
    length = std::min(length, HidReportBytes);
    std::unique_lock<std::mutex> lock(HidLock);
    if (!Opened || handle != OpenedHandle || length == 0) return;
    ++WritesWaiting;
    TakeDeviceTurn(lock, false);
    --WritesWaiting;
    if (!Device) {  // away: the reader is told when the device is open again
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
