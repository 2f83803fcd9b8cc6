#include "fake_message_box.h"

#include "call_journal.h"
#include "message_box.h"

std::vector<std::string> FakeMessages;

void FakeMessageBoxReset() { FakeMessages.clear(); }

void ShowMessage(const char* text) {
    FakeMessages.push_back(text);
    JournalAdd(std::string("message ") + text);
}
