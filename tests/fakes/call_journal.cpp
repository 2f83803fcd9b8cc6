#include "call_journal.h"

#include <mutex>
#include <vector>

static std::mutex JournalLock;
static std::vector<std::string> Entries;

void JournalClear() {
    std::lock_guard<std::mutex> hold(JournalLock);
    Entries.clear();
}

void JournalAdd(const std::string& entry) {
    std::lock_guard<std::mutex> hold(JournalLock);
    Entries.push_back(entry);
}

std::string JournalText() {
    std::lock_guard<std::mutex> hold(JournalLock);
    std::string text;
    for (const std::string& entry : Entries) text += entry + "\n";
    return text;
}

int JournalCount(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(JournalLock);
    int count = 0;
    for (const std::string& entry : Entries)
        if (entry.compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}
