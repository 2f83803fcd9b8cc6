#include "fake_clip_player.h"

#include "call_journal.h"

int FakeClipPlayerOpens;
int FakeClipPlayerStarts;
int FakeClipPlayerCloses;
WavClip FakeClipPlayerClip;
int32_t FakeClipPlayerOpenResult;

void FakeClipPlayerReset() {
    FakeClipPlayerOpens = FakeClipPlayerStarts = FakeClipPlayerCloses = 0;
    FakeClipPlayerClip = WavClip{};
    FakeClipPlayerOpenResult = 1;
}

int32_t OpenClipPlayer(const WavClip& clip) {
    ++FakeClipPlayerOpens;
    FakeClipPlayerClip = clip;
    JournalAdd("player open");
    return FakeClipPlayerOpenResult;
}

void StartClipPlayer() {
    ++FakeClipPlayerStarts;
    JournalAdd("player start");
}

void CloseClipPlayer() {
    ++FakeClipPlayerCloses;
    JournalAdd("player close");
}
