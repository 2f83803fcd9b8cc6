#include "fake_clip_player.h"

#include "call_journal.h"

int FakeClipPlayerOpens;
int FakeClipPlayerStarts;
int FakeClipPlayerCloses;
WavClip FakeClipPlayerClip;
int32_t FakeClipPlayerOpenResult;
int32_t FakeClipPlayerStartResult;

void FakeClipPlayerReset() {
    FakeClipPlayerOpens = FakeClipPlayerStarts = FakeClipPlayerCloses = 0;
    FakeClipPlayerClip = WavClip{};
    FakeClipPlayerOpenResult = FakeClipPlayerStartResult = 1;
}

int32_t OpenClipPlayer(const WavClip& clip) {
    ++FakeClipPlayerOpens;
    FakeClipPlayerClip = clip;
    JournalAdd("player open");
    return FakeClipPlayerOpenResult;
}

int32_t StartClipPlayer() {
    ++FakeClipPlayerStarts;
    JournalAdd("player start");
    return FakeClipPlayerStartResult;
}

void CloseClipPlayer() {
    ++FakeClipPlayerCloses;
    JournalAdd("player close");
}
