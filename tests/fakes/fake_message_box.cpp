#include "fake_message_box.h"

#include "call_journal.h"
#include "message_box.h"

std::vector<std::string> FakeMessages;
std::vector<std::string> FakeNotices;
std::vector<std::chrono::steady_clock::time_point> FakeNoticeTimes;

void FakeMessageBoxReset() {
    FakeMessages.clear();
    FakeNotices.clear();
    FakeNoticeTimes.clear();
}

void ShowNotice(const char* text) {
    FakeNotices.push_back(text);
    FakeNoticeTimes.push_back(std::chrono::steady_clock::now());
    JournalAdd(std::string("notice ") + text);
}

void ShowMessage(const char* text) {
    FakeMessages.push_back(text);
    JournalAdd(std::string("message ") + text);
}
