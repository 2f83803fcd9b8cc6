// Test double of the hidapi functions the HID layer calls: a spy of what is asked of hidapi,
// playing a script of reads on the devices of vendor 057E it lists, that a test can take away
// and bring back.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct HidapiWrite {
    std::vector<uint8_t> bytes;  // exactly the length passed to hid_write
    int device;                  // 1 for the first device hid_open_path returned, 2 for the next...
    std::chrono::steady_clock::time_point at;
};

struct HidapiRecord {
    int opens, closes, calls;  // calls: of hid_enumerate, hid_open_path, hid_close, hid_read_timeout, hid_write
    int overlaps;  // calls on a device that began while another call on it was running
    int misuses;   // calls on a closed device, a second close, hid_exit with a device open
    std::vector<std::wstring> opened;  // the product string of each device opened, device 1 first
    std::vector<HidapiWrite> written;  // every hid_write on an open device, a dead one too
    std::vector<int> readMs;           // the milliseconds of every hid_read_timeout, in order
    std::vector<std::chrono::steady_clock::time_point> reportedAt;  // when each report was read
};

struct HidapiDoubleDevice {
    unsigned short product;
    const wchar_t* name;  // its product string
};

// Remote present, one Wii Remote (0306 "Nintendo RVL-CNT-01"), empty script, nothing recorded,
// devices forgotten.
void HidapiDoubleReset();
// Replaces the devices hid_enumerate lists while the remote is present; every one of them plays
// the same script.
void HidapiDoubleSetDevices(std::vector<HidapiDoubleDevice> devices);
// While absent, nothing is listed and every device opened before fails each read and write at
// once, a waiting read too, and stays dead when the remote is back, as hidraw does.
void HidapiDoubleSetPresent(bool present);
// The next read of a live device returns these bytes, or -1 if empty (a signal in hidapi's
// poll); with no script left, a read waits out its milliseconds.
void HidapiDoubleQueueRead(std::vector<uint8_t> bytes);
HidapiRecord HidapiDoubleRecord();
