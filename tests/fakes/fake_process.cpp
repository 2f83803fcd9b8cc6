// Spy in place of the process set-up: records each call in the journal.
#include "call_journal.h"
#include "process.h"

void SetUpProcess() {
    JournalAdd("process set up");
}

void BeginStartingThreads() {
    JournalAdd("threads starting");
}

void EndStartingThreads() {
    JournalAdd("threads started");
}
