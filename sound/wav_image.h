// Reading a WAV file image in memory: where its samples are and how they are encoded,
// within the bytes actually at hand whatever the header claims.
#pragma once
#include <cstdint>

constexpr uint16_t WavPcm = 0x0001;
constexpr uint16_t WavMsAdpcm = 0x0002;
constexpr uint16_t WavFloat = 0x0003;
constexpr uint16_t WavALaw = 0x0006;
constexpr uint16_t WavMuLaw = 0x0007;
constexpr uint16_t WavImaAdpcm = 0x0011;

// What a WAV image holds: its fmt chunk and where its data chunk lies in the image.
struct WavClip {
    uint16_t encoding;  // one of the Wav* tags (WAVE_FORMAT_EXTENSIBLE resolved to its sub-format)
    uint16_t channels;
    uint32_t sampleRate;  // frames per second
    uint16_t blockAlign;  // bytes per frame (per block for ADPCM)
    uint16_t bitsPerSample;
    const uint8_t* image;     // the whole image, from its RIFF header
    uint32_t imageBytes;      // bytes of it at hand
    uint32_t fmtOffset;       // of the fmt chunk's body
    uint32_t fmtBytes;        // of that body, within imageBytes
    uint32_t dataOffset;      // of the first sample byte
    uint32_t dataBytes;       // whole frames (blocks) only, within imageBytes
};

// Fills *clip from the image's RIFF chunks; returns 1 when it holds a fmt and a data chunk
// with at least one whole frame, 0 otherwise (*clip then says nothing).
int32_t ReadWavImage(const uint8_t* image, uint32_t imageBytes, WavClip* clip);
