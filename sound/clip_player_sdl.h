// The clip player on SDL2's audio, for what the PulseAudio client does not take: ALSA, SDL's
// own drivers, PipeWire's native output, and clips in float64 or ADPCM. The same three calls
// as clip_player.h, which they stand behind.
#pragma once
#include "wav_image.h"

int32_t OpenSdlClipPlayer(const WavClip& clip);
int32_t StartSdlClipPlayer();
void CloseSdlClipPlayer();
