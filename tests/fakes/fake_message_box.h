// Spy in place of the message box: records each message and each notice shown.
#pragma once
#include <chrono>
#include <string>
#include <vector>

extern std::vector<std::string> FakeMessages;
extern std::vector<std::string> FakeNotices;
extern std::vector<std::chrono::steady_clock::time_point> FakeNoticeTimes;  // when each was shown
void FakeMessageBoxReset();
