#include "fake_hid_access.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "call_journal.h"
#include "fake_console_keys.h"
#include "hid_access.h"

namespace {
struct ScriptedRead {
    std::vector<uint8_t> bytes;  // empty: no report
    int32_t delayMs;
    int32_t pressKey;
};
}  // namespace

int32_t FakeHidOpenResult;
int FakeHidOpens;
int32_t FakeHidOpenedVendor;
int32_t FakeHidOpenedProduct;
int FakeHidCloses;
int FakeHidStops;
int FakeHidResumes;

static std::mutex HidLock;
static std::condition_variable HidWake;
static std::deque<ScriptedRead> Script;
static std::vector<FakeHidCall> Writes;
static std::vector<FakeHidCall> Reads;
static bool Stopped;
static bool Closed;
static int ReadsInProgress;
static bool MisuseSeen;

static std::string Hex(const uint8_t* bytes, uint32_t count) {
    std::string text;
    char byte[4];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
        text += byte;
    }
    return text;
}

void FakeHidReset() {
    std::lock_guard<std::mutex> hold(HidLock);
    FakeHidOpenResult = 7;
    FakeHidOpens = FakeHidCloses = FakeHidStops = FakeHidResumes = 0;
    FakeHidOpenedVendor = FakeHidOpenedProduct = 0;
    Script.clear();
    Writes.clear();
    Reads.clear();
    Stopped = Closed = MisuseSeen = false;
    ReadsInProgress = 0;
}

void FakeHidQueueReport(std::initializer_list<uint8_t> bytes, int32_t delayMs) {
    std::lock_guard<std::mutex> hold(HidLock);
    Script.push_back(ScriptedRead{std::vector<uint8_t>(bytes), delayMs, -1});
}

void FakeHidRelease() {
    std::lock_guard<std::mutex> hold(HidLock);
    for (ScriptedRead& read : Script)
        if (read.delayMs == FakeHidUntilReleased) read.delayMs = 0;
    HidWake.notify_all();
}

void FakeHidQueueNoReport(int32_t pressKey) {
    std::lock_guard<std::mutex> hold(HidLock);
    Script.push_back(ScriptedRead{{}, 0, pressKey});
}

std::vector<FakeHidCall> FakeHidWrites() {
    std::lock_guard<std::mutex> hold(HidLock);
    return Writes;
}

std::vector<FakeHidCall> FakeHidReads() {
    std::lock_guard<std::mutex> hold(HidLock);
    return Reads;
}

int FakeHidScriptLeft() {
    std::lock_guard<std::mutex> hold(HidLock);
    return static_cast<int>(Script.size());
}

bool FakeHidMisuseSeen() {
    std::lock_guard<std::mutex> hold(HidLock);
    return MisuseSeen;
}

bool FakeHidReadInProgress() {
    std::lock_guard<std::mutex> hold(HidLock);
    return ReadsInProgress > 0;
}

int32_t OpenHidHandle(int32_t vendorId, int32_t productId) {
    std::lock_guard<std::mutex> hold(HidLock);
    ++FakeHidOpens;
    FakeHidOpenedVendor = vendorId;
    FakeHidOpenedProduct = productId;
    Closed = false;
    char entry[48];
    std::snprintf(entry, sizeof entry, "hid open %04x:%04x", vendorId, productId);
    JournalAdd(entry);
    return FakeHidOpenResult;
}

int32_t ReadReport(int32_t, uint8_t* report, uint32_t* count, int32_t waitMs) {
    std::unique_lock<std::mutex> hold(HidLock);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begun = Clock::now();
    Reads.push_back(FakeHidCall{{}, std::this_thread::get_id(), begun});
    if (ReadsInProgress > 0 || Closed) MisuseSeen = true;
    ++ReadsInProgress;
    JournalAdd("hid read");
    auto deadline = begun + std::chrono::milliseconds(waitMs);
    bool limited = waitMs != WaitWithoutLimit;
    int32_t result = 0;
    if (Script.empty()) {
        // A silent remote: nothing arrives until the wait runs out or reads are stopped.
        if (limited)
            HidWake.wait_until(hold, deadline, [] { return Stopped; });
        else
            HidWake.wait(hold, [] { return Stopped; });
    } else if (!Stopped) {
        ScriptedRead& next = Script.front();
        auto arrival = [&] {
            return next.delayMs == FakeHidUntilReleased ? Clock::time_point::max()
                                                        : begun + std::chrono::milliseconds(next.delayMs);
        };
        for (;;) {
            Clock::time_point until = limited && deadline < arrival() ? deadline : arrival();
            if (Stopped || Clock::now() >= until) break;
            if (until == Clock::time_point::max())
                HidWake.wait(hold);
            else
                HidWake.wait_until(hold, until);
        }
        bool timeUp = limited && deadline < arrival();
        if (!Stopped && !timeUp) {
            ScriptedRead taken = Script.front();
            Script.pop_front();
            if (taken.pressKey >= 0) FakeKeysPress(taken.pressKey);
            if (!taken.bytes.empty()) {
                std::memcpy(report, taken.bytes.data(), taken.bytes.size());
                *count = static_cast<uint32_t>(taken.bytes.size());
                result = 1;
                JournalAdd("hid report " + Hex(report, *count));
            }
        } else if (!Stopped && next.delayMs != FakeHidUntilReleased) {
            next.delayMs = static_cast<int32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(arrival() - deadline).count());
        }
    }
    if (Closed) MisuseSeen = true;
    --ReadsInProgress;
    return Stopped ? HidReadsStopped : result;
}

void WriteReport(int32_t, const uint8_t* report, uint32_t length, uint32_t* count) {
    std::lock_guard<std::mutex> hold(HidLock);
    Writes.push_back(FakeHidCall{std::vector<uint8_t>(report, report + length), std::this_thread::get_id(),
                                 std::chrono::steady_clock::now()});
    *count = length;
    JournalAdd("hid write " + Hex(report, length));
}

void CloseHidHandle(int32_t) {
    std::lock_guard<std::mutex> hold(HidLock);
    ++FakeHidCloses;
    if (ReadsInProgress > 0) MisuseSeen = true;
    Closed = true;
    JournalAdd("hid close");
}

void StopReadReport() {
    std::lock_guard<std::mutex> hold(HidLock);
    ++FakeHidStops;
    Stopped = true;
    HidWake.notify_all();
    JournalAdd("hid stop");
}

void ResumeReadReport() {
    std::lock_guard<std::mutex> hold(HidLock);
    ++FakeHidResumes;
    Stopped = false;
    JournalAdd("hid resume");
}
