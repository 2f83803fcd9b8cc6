// The audio output that plays the alert clip: readied once for the clip, then started
// as often as needed without waiting.
#pragma once
#include "wav_image.h"

constexpr uint16_t MaxChannels = 8;  // SDL2 knows no layout beyond 7.1
// Outside these rates a clip is no sound worth playing, and the buffers stay sane.
constexpr uint32_t MinRateHz = 1000;
constexpr uint32_t MaxRateHz = 768000;
// How the program and its sound are named in a desktop's mixer.
constexpr const char* MixerAppName = "Quillbramble-sentry";
constexpr const char* MixerStreamName = "Fall alarm";

// Readies audio output for this clip, which stays where it is (PCM and float play in
// place); 1 when it will play, 0 when there is no audio output or the clip cannot be played,
// and later starts then do nothing.
int32_t OpenClipPlayer(const WavClip& clip);
// Starts the clip from its first sample, cutting off one that still sounds; returns at once.
// Through a sound server the output sleeps between clips and wakes for this. 1 when there is
// an output to play it; 0 when there is none, as when the server has gone since (each start
// tries to reach it again, and plays once it answers).
int32_t StartClipPlayer();
// Stops the output and lets go of it.
void CloseClipPlayer();
