// The clip player on SDL2's audio, behind clip_player.h for what the PulseAudio client does not
// play: ALSA, SDL's own drivers, PipeWire's native output, and clips in float64 or ADPCM.
#pragma once
#include "wav_image.h"

int32_t OpenSdlClipPlayer(const WavClip& clip);
int32_t StartSdlClipPlayer();
void CloseSdlClipPlayer();
