// Spy in place of the message box: records each message shown.
#pragma once
#include <string>
#include <vector>

extern std::vector<std::string> FakeMessages;
void FakeMessageBoxReset();
