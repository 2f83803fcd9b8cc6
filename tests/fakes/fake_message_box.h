// Spy in place of the message box: records each message and each notice shown.
#pragma once
#include <string>
#include <vector>

extern std::vector<std::string> FakeMessages;
extern std::vector<std::string> FakeNotices;
void FakeMessageBoxReset();
