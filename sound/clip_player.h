// The audio output that plays the alert clip: readied once for the clip, then started
// as often as needed without waiting.
#pragma once
#include "wav_image.h"

// Readies audio output for this clip, which stays where it is (PCM and float play in
// place); 1 when it will play, 0 when there is no audio output or the clip cannot be played,
// and later starts then do nothing.
int32_t OpenClipPlayer(const WavClip& clip);
// Starts the clip from its first sample, cutting off one that still sounds; returns at once.
void StartClipPlayer();
// Stops the output and lets go of it.
void CloseClipPlayer();
