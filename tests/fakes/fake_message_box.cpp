#include "fake_message_box.h"

#include "call_journal.h"
#include "message_box.h"

std::vector<std::string> FakeMessages;
std::vector<std::string> FakeNotices;

void FakeMessageBoxReset() {
    FakeMessages.clear();
    FakeNotices.clear();
}

void ShowNotice(const char* text) {
    FakeNotices.push_back(text);
    JournalAdd(std::string("notice ") + text);
}

void ShowMessage(const char* text) {
    FakeMessages.push_back(text);
    JournalAdd(std::string("message ") + text);
}
