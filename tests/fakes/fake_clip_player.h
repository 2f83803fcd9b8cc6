// Spy in place of the audio output: records what it was asked to open and start.
#pragma once
#include "clip_player.h"

extern int FakeClipPlayerOpens;
extern int FakeClipPlayerStarts;
extern int FakeClipPlayerCloses;
extern WavClip FakeClipPlayerClip;  // as last opened
extern int32_t FakeClipPlayerOpenResult;  // what opening returns: 1 unless a test says otherwise
extern int32_t FakeClipPlayerStartResult;  // what starting returns: likewise

void FakeClipPlayerReset();
