#include "hidapi_double.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

struct hid_device_ {
    int number;
    bool dead;    // its remote went away while it was open
    bool closed;
    bool inCall;
};

namespace {
struct ScriptedRead {
    std::vector<uint8_t> bytes;  // empty: the read fails once
};

constexpr unsigned short RemoteVendor = 0x057E;
constexpr unsigned short RemoteProduct = 0x0306;
}  // namespace

static std::mutex DoubleLock;
static std::condition_variable DoubleChanged;
static bool Present;
static std::deque<ScriptedRead> Script;
static std::vector<std::unique_ptr<hid_device_>> Devices;  // kept until reset, so a stale pointer is seen
static std::vector<HidapiWrite> Writes;
static std::vector<int> ReadTimeouts;
static HidapiCounts Counts;
static unsigned LastVendor;
static unsigned LastProduct;
static int Overlaps;
static int Misuses;

// Called with DoubleLock held at the start of every call on a device.
static bool EnterDevice(hid_device* dev) {
    auto known = std::find_if(Devices.begin(), Devices.end(),
                              [dev](const std::unique_ptr<hid_device_>& d) { return d.get() == dev; });
    if (known == Devices.end() || dev->closed) {
        ++Misuses;
        return false;
    }
    if (dev->inCall) ++Overlaps;
    dev->inCall = true;
    return true;
}

void HidapiDoubleReset() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Present = true;
    Script.clear();
    Devices.clear();
    Writes.clear();
    ReadTimeouts.clear();
    Counts = HidapiCounts{};
    LastVendor = LastProduct = 0;
    Overlaps = Misuses = 0;
}

void HidapiDoubleSetPresent(bool present) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Present = present;
    if (!present)
        for (auto& dev : Devices) dev->dead = true;
    DoubleChanged.notify_all();
}

void HidapiDoubleQueueReport(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Script.push_back(ScriptedRead{std::move(bytes)});
    DoubleChanged.notify_all();
}

void HidapiDoubleQueueFailure() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Script.push_back(ScriptedRead{});
    DoubleChanged.notify_all();
}

HidapiCounts HidapiDoubleCounts() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    HidapiCounts counts = Counts;
    counts.openDevices = static_cast<int>(std::count_if(
        Devices.begin(), Devices.end(), [](const std::unique_ptr<hid_device_>& d) { return !d->closed; }));
    return counts;
}

std::vector<HidapiWrite> HidapiDoubleWrites() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return Writes;
}

std::vector<int> HidapiDoubleReadTimeouts() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return ReadTimeouts;
}

unsigned HidapiDoubleLastOpenVendor() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return LastVendor;
}

unsigned HidapiDoubleLastOpenProduct() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return LastProduct;
}

int HidapiDoubleOverlaps() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return Overlaps;
}

int HidapiDoubleMisuses() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return Misuses;
}

int hid_init(void) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.inits;
    return 0;
}

int hid_exit(void) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.exits;
    for (auto& dev : Devices)
        if (!dev->closed) ++Misuses;
    return 0;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id, const wchar_t*) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.openTries;
    LastVendor = vendor_id;
    LastProduct = product_id;
    if (!Present || vendor_id != RemoteVendor || product_id != RemoteProduct) return nullptr;
    ++Counts.opens;
    Devices.push_back(std::make_unique<hid_device_>(hid_device_{static_cast<int>(Devices.size()) + 1, false, false, false}));
    return Devices.back().get();
}

void hid_close(hid_device* dev) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.closes;
    if (!EnterDevice(dev)) return;
    dev->inCall = false;
    dev->closed = true;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    std::unique_lock<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.reads;
    ReadTimeouts.push_back(milliseconds);
    if (!EnterDevice(dev)) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    int result = 0;
    for (;;) {
        if (dev->dead) {
            result = -1;
            break;
        }
        if (!Script.empty()) {
            ScriptedRead next = std::move(Script.front());
            Script.pop_front();
            if (next.bytes.empty()) {
                result = -1;
            } else {
                size_t count = std::min(length, next.bytes.size());
                std::memcpy(data, next.bytes.data(), count);
                result = static_cast<int>(count);
            }
            break;
        }
        if (milliseconds < 0)
            DoubleChanged.wait(hold);
        else if (DoubleChanged.wait_until(hold, deadline) == std::cv_status::timeout)
            break;
    }
    dev->inCall = false;
    return result;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    ++Counts.writes;
    if (!EnterDevice(dev)) return -1;
    dev->inCall = false;
    Writes.push_back(HidapiWrite{std::vector<uint8_t>(data, data + length), dev->number, !dev->dead});
    return dev->dead ? -1 : static_cast<int>(length);
}

const wchar_t* hid_error(hid_device*) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Counts.calls;
    return L"hidapi double: no detail";
}
