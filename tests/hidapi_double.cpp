#include "hidapi_double.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <mutex>

struct hid_device_ {
    int number;
    bool dead, closed, inCall;  // dead: its remote went away while it was open
};

constexpr unsigned short RemoteVendor = 0x057E;
constexpr char PathFormat[] = "/dev/hidraw-double/%zu";  // the index in Listed

static std::mutex DoubleLock;
static std::condition_variable DoubleChanged;
static bool Present;
static std::vector<HidapiDoubleDevice> Listed;
static std::deque<std::vector<uint8_t>> Script;
static std::deque<hid_device_> Devices;  // kept until reset, so that a stale pointer is seen
static HidapiRecord Record;

// With DoubleLock held, first in every call on a device; waits: it lets the lock go, so may be overlapped.
static bool EnterDevice(hid_device* dev, bool waits) {
    bool known = std::any_of(Devices.begin(), Devices.end(), [dev](const hid_device_& d) { return &d == dev; });
    if (!known || dev->closed) {
        ++Record.misuses;
        return false;
    }
    Record.overlaps += dev->inCall ? 1 : 0;
    dev->inCall = waits;
    return true;
}

void HidapiDoubleReset() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Present = true;
    Listed = {{0x0306, L"Nintendo RVL-CNT-01"}};
    Script.clear();
    Devices.clear();
    Record = HidapiRecord{};
}

void HidapiDoubleSetDevices(std::vector<HidapiDoubleDevice> devices) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Listed = std::move(devices);
}

void HidapiDoubleSetPresent(bool present) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Present = present;
    for (hid_device_& dev : Devices) dev.dead = dev.dead || !present;
    DoubleChanged.notify_all();
}

void HidapiDoubleQueueRead(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    Script.push_back(std::move(bytes));
    DoubleChanged.notify_all();
}

HidapiRecord HidapiDoubleRecord() {
    std::lock_guard<std::mutex> hold(DoubleLock);
    return Record;
}

int hid_init(void) { return 0; }

int hid_exit(void) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    for (const hid_device_& dev : Devices) Record.misuses += dev.closed ? 0 : 1;
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Record.calls;
    hid_device_info* first = nullptr;
    hid_device_info** next = &first;
    for (size_t i = 0; Present && vendor_id == RemoteVendor && i < Listed.size(); ++i) {
        if (product_id != 0 && product_id != Listed[i].product) continue;
        char path[64];
        std::snprintf(path, sizeof path, PathFormat, i);
        *next = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        (*next)->path = strdup(path);
        (*next)->vendor_id = RemoteVendor;
        (*next)->product_id = Listed[i].product;
        (*next)->product_string = wcsdup(Listed[i].name);
        (*next)->bus_type = HID_API_BUS_BLUETOOTH;
        next = &(*next)->next;
    }
    return first;
}

void hid_free_enumeration(hid_device_info* devices) {
    while (devices) {
        hid_device_info* next = devices->next;
        std::free(devices->path);
        std::free(devices->product_string);
        std::free(devices);
        devices = next;
    }
}

hid_device* hid_open_path(const char* path) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Record.calls;
    size_t index = Listed.size();
    for (size_t i = 0; i < Listed.size(); ++i) {
        char listed[64];
        std::snprintf(listed, sizeof listed, PathFormat, i);
        if (std::strcmp(path, listed) == 0) index = i;
    }
    if (!Present || index == Listed.size()) return nullptr;
    ++Record.opens;
    Record.opened.push_back(Listed[index].name);
    Devices.push_back(hid_device_{static_cast<int>(Devices.size()) + 1, false, false, false});
    return &Devices.back();
}

void hid_close(hid_device* dev) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Record.calls;
    ++Record.closes;
    if (EnterDevice(dev, false)) dev->closed = true;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int ms) {
    std::unique_lock<std::mutex> hold(DoubleLock);
    ++Record.calls;
    Record.readMs.push_back(ms);
    if (!EnterDevice(dev, true)) return -1;
    DoubleChanged.wait_for(hold, std::chrono::milliseconds(ms), [dev] { return dev->dead || !Script.empty(); });
    dev->inCall = false;
    if (dev->dead || Script.empty()) return dev->dead ? -1 : 0;
    std::vector<uint8_t> next = std::move(Script.front());
    Script.pop_front();
    size_t count = std::min(length, next.size());
    std::copy_n(next.begin(), count, data);
    if (count) Record.reportedAt.push_back(std::chrono::steady_clock::now());
    return count ? static_cast<int>(count) : -1;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    std::lock_guard<std::mutex> hold(DoubleLock);
    ++Record.calls;
    if (!EnterDevice(dev, false)) return -1;
    Record.written.push_back(
        HidapiWrite{std::vector<uint8_t>(data, data + length), dev->number, std::chrono::steady_clock::now()});
    return dev->dead ? -1 : static_cast<int>(length);
}
