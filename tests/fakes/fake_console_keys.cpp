#include "fake_console_keys.h"

#include <deque>
#include <mutex>
#include <string>

#include "call_journal.h"
#include "console_keys.h"

int FakeKeysBegins;
int FakeKeysEnds;
int FakeKeysTaken;
int FakeKeysPolls;
static std::mutex KeysLock;
static std::deque<int32_t> Pressed;

void FakeKeysReset() {
    std::lock_guard<std::mutex> hold(KeysLock);
    FakeKeysBegins = FakeKeysEnds = FakeKeysTaken = FakeKeysPolls = 0;
    Pressed.clear();
}

void FakeKeysPress(int32_t code) {
    std::lock_guard<std::mutex> hold(KeysLock);
    Pressed.push_back(code);
}

int FakeKeysWaiting() {
    std::lock_guard<std::mutex> hold(KeysLock);
    return static_cast<int>(Pressed.size());
}

void BeginConsoleKeys() {
    ++FakeKeysBegins;
    JournalAdd("keys begin");
}

void EndConsoleKeys() {
    ++FakeKeysEnds;
    JournalAdd("keys end");
}

int32_t KeyPressWaiting() {
    std::lock_guard<std::mutex> hold(KeysLock);
    ++FakeKeysPolls;
    return Pressed.empty() ? 0 : 1;
}

int32_t TakeKeyCode() {
    std::lock_guard<std::mutex> hold(KeysLock);
    if (Pressed.empty()) {
        JournalAdd("key taken with none waiting");
        return -1;
    }
    int32_t code = Pressed.front();
    Pressed.pop_front();
    ++FakeKeysTaken;
    JournalAdd("key " + std::to_string(code));
    return code;
}
