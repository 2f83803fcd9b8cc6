// The audio output that plays the alert clip: readied once for the clip, then started
// as often as needed without waiting.
#pragma once
#include "wav_image.h"

// Readies audio output for this clip, which stays where it is (PCM and float play in
// place). With no audio output, or a clip it cannot play, later starts do nothing.
void OpenClipPlayer(const WavClip& clip);
// Starts the clip from its first sample, cutting off one that still sounds; returns at once.
void StartClipPlayer();
// Stops the output and lets go of it.
void CloseClipPlayer();
