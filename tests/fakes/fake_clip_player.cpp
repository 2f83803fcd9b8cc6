#include "fake_clip_player.h"

#include "call_journal.h"

int FakeClipPlayerOpens;
int FakeClipPlayerStarts;
int FakeClipPlayerCloses;
WavClip FakeClipPlayerClip;

void FakeClipPlayerReset() {
    FakeClipPlayerOpens = FakeClipPlayerStarts = FakeClipPlayerCloses = 0;
    FakeClipPlayerClip = WavClip{};
}

void OpenClipPlayer(const WavClip& clip) {
    ++FakeClipPlayerOpens;
    FakeClipPlayerClip = clip;
    JournalAdd("player open");
}

void StartClipPlayer() {
    ++FakeClipPlayerStarts;
    JournalAdd("player start");
}

void CloseClipPlayer() {
    ++FakeClipPlayerCloses;
    JournalAdd("player close");
}
