// Test double of hidapi's own C functions (those declared by <hidapi/hidapi.h> that the HID
// layer calls): a spy that records opens, closes, writes and reads, and plays a script of
// reads against one remote that the test can take away and bring back. Thread-safe.
#pragma once
#include <cstdint>
#include <vector>

struct HidapiWrite {
    std::vector<uint8_t> bytes;  // exactly the length passed to hid_write
    int device;                  // 1 for the first device hid_open returned, 2 for the next...
    bool delivered;              // false when the device had gone (hid_write returned -1)
};

struct HidapiCounts {
    int inits;
    int exits;
    int openTries;
    int opens;      // tries that returned a device
    int closes;
    int reads;      // hid_read_timeout calls
    int writes;
    int calls;      // every call of any hidapi function
    int openDevices;
};

// Remote present as 057E:0306, empty script, nothing recorded, every device forgotten.
void HidapiDoubleReset();
// While absent, hid_open finds nothing, and every device opened before fails each read and
// write at once (a read waiting at that moment too), as a hidraw node does whose remote has
// gone; such a device stays dead when the remote comes back.
void HidapiDoubleSetPresent(bool present);
// The next read of a live device returns these bytes.
void HidapiDoubleQueueReport(std::vector<uint8_t> bytes);
// The next read of a live device returns -1 once, as when a signal interrupts hidapi's poll.
void HidapiDoubleQueueFailure();
// With the script empty, a read of a live device waits out its milliseconds (for ever at -1).

HidapiCounts HidapiDoubleCounts();
std::vector<HidapiWrite> HidapiDoubleWrites();
std::vector<int> HidapiDoubleReadTimeouts();  // the milliseconds of every read, in order
unsigned HidapiDoubleLastOpenVendor();
unsigned HidapiDoubleLastOpenProduct();
// Calls on one device that began while another call on it was still running.
int HidapiDoubleOverlaps();
// Calls on a device that was closed, a second close, hid_exit with a device still open.
int HidapiDoubleMisuses();
