// One record, in order, of the calls that every fake was asked, so that tests can
// check the order of calls across layers. Safe to add to from any thread.
#pragma once
#include <string>

void JournalClear();
void JournalAdd(const std::string& entry);
// Entries in order, each followed by '\n'.
std::string JournalText();
// How many entries begin with `prefix`.
int JournalCount(const std::string& prefix);
