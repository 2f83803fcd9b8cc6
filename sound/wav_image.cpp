#include "wav_image.h"

#include <cstring>

constexpr uint16_t WavExtensible = 0xFFFE;
constexpr uint32_t RiffHeaderBytes = 12;     // "RIFF", size, "WAVE"
constexpr uint32_t ChunkHeaderBytes = 8;     // id, size
constexpr uint32_t FmtCommonBytes = 16;      // tag, channels, rate, byte rate, block align, bits
constexpr uint32_t FmtExtensibleBytes = 40;  // the above, cbSize, valid bits, channel mask, GUID
constexpr uint32_t SubFormatOffset = 24;     // of the sub-format GUID in an extensible fmt body

static uint16_t Le16(const uint8_t* at) {
    return uint16_t(at[0] | at[1] << 8);
}

static uint32_t Le32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

static bool IsChunkId(const uint8_t* at, const char* id) {
    return std::memcmp(at, id, 4) == 0;
}

// Takes the format from a fmt body of `bytes` bytes; false when it is too short to say.
static bool ReadFormat(const uint8_t* body, uint32_t bytes, WavClip* clip) {
    if (bytes < FmtCommonBytes) return false;
    clip->encoding = Le16(body);
    clip->channels = Le16(body + 2);
    clip->sampleRate = Le32(body + 4);
    clip->blockAlign = Le16(body + 12);
    clip->bitsPerSample = Le16(body + 14);
    if (clip->encoding == WavExtensible) {
        if (bytes < FmtExtensibleBytes) return false;
        // The sub-format GUID begins with the plain format tag.
        clip->encoding = Le16(body + SubFormatOffset);
    }
    return true;
}

int32_t ReadWavImage(const uint8_t* image, uint32_t imageBytes, WavClip* clip) {
    *clip = WavClip{};
    if (image == nullptr || imageBytes < RiffHeaderBytes) return 0;
    if (!IsChunkId(image, "RIFF") || !IsChunkId(image + 8, "WAVE")) return 0;

    WavClip found{};
    found.image = image;
    found.imageBytes = imageBytes;
    bool haveFmt = false;
    bool haveData = false;
    // The RIFF size is not trusted: the chunks are walked up to the end of the bytes at hand.
    uint64_t at = RiffHeaderBytes;
    while (at + ChunkHeaderBytes <= imageBytes && !(haveFmt && haveData)) {
        const uint8_t* head = image + at;
        const uint32_t size = Le32(head + 4);
        const uint64_t body = at + ChunkHeaderBytes;
        const uint64_t left = imageBytes - body;
        const uint32_t atHand = size < left ? size : uint32_t(left);
        if (!haveFmt && IsChunkId(head, "fmt ")) {
            if (!ReadFormat(image + body, atHand, &found)) return 0;
            found.fmtOffset = uint32_t(body);
            found.fmtBytes = atHand;
            haveFmt = true;
        } else if (!haveData && IsChunkId(head, "data")) {
            found.dataOffset = uint32_t(body);
            found.dataBytes = atHand;
            haveData = true;
        }
        at = body + size;
        // Odd bodies are padded with a zero byte, but some writers leave the pad out: a
        // non-zero byte there is taken as the first byte of the next chunk's id.
        if ((size & 1) != 0 && at < imageBytes && image[at] == 0) ++at;
    }

    if (!haveFmt || !haveData) return 0;
    if (found.channels == 0 || found.sampleRate == 0 || found.blockAlign == 0) return 0;
    found.dataBytes -= found.dataBytes % found.blockAlign;
    if (found.dataBytes == 0) return 0;
    *clip = found;
    return 1;
}
