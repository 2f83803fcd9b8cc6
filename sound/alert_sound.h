// The alert clip: read once from "others_05.wav" into memory, played from there without waiting.
#pragma once
#include <cstdint>

constexpr uint32_t SoundClipBytes = 0x1400000;          // 20 MiB
constexpr uint32_t SoundClipMaxLoad = SoundClipBytes - 1;  // so the last byte always stays 0
constexpr const char* AlertClipFile = "others_05.wav";
constexpr const char* MuteNotice = "Alert sound cannot be played.";

extern uint8_t SoundClip[SoundClipBytes];
extern uint32_t SoundClipLoaded;  // bytes read into SoundClip

// Reads the clip and readies the sound output for it; 0 when the file opened, 1 when not.
int32_t LoadAlertSound();
// 1 when the clip last loaded will sound: a playable WAV, and an output opened for it.
int32_t AlertSoundPlayable();
// Starts the clip from its beginning, cutting off one still playing; returns at once. When
// the output opened at load cannot be reached, says MuteNotice, once until a start reaches it.
void PlayAlertSound();
// How the last PlayAlertSound went: it reached an output, it did not, or it did not and said
// MuteNotice.
constexpr int32_t PlaySounded = 0;
constexpr int32_t PlayMute = 1;
constexpr int32_t PlayMuteSaid = 2;
int32_t LastPlay();
