#include "wav_image.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe16(Bytes* to, uint32_t value) {
    to->push_back(uint8_t(value));
    to->push_back(uint8_t(value >> 8));
}

void PutLe32(Bytes* to, uint32_t value) {
    PutLe16(to, value & 0xFFFF);
    PutLe16(to, value >> 16);
}

// A chunk as a writer would lay it out; `claimed` is the size written in its header.
Bytes Chunk(const char* id, const Bytes& body, uint32_t claimed, bool pad = true) {
    Bytes chunk(id, id + 4);
    PutLe32(&chunk, claimed);
    chunk.insert(chunk.end(), body.begin(), body.end());
    if (pad && body.size() % 2 == 1) chunk.push_back(0);
    return chunk;
}

Bytes Chunk(const char* id, const Bytes& body) {
    return Chunk(id, body, uint32_t(body.size()));
}

Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits) {
    Bytes body;
    PutLe16(&body, tag);
    PutLe16(&body, channels);
    PutLe32(&body, rate);
    PutLe32(&body, rate * blockAlign);
    PutLe16(&body, blockAlign);
    PutLe16(&body, bits);
    return body;
}

Bytes ExtensibleFmtBody(uint16_t subFormat, uint16_t channels, uint32_t rate, uint16_t blockAlign,
                        uint16_t bits) {
    Bytes body = FmtBody(0xFFFE, channels, rate, blockAlign, bits);
    PutLe16(&body, 22);    // cbSize
    PutLe16(&body, bits);  // valid bits
    PutLe32(&body, 0x3);   // channel mask
    PutLe16(&body, subFormat);
    const uint8_t guidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    body.insert(body.end(), guidTail, guidTail + sizeof guidTail);
    return body;
}

Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE") {
    Bytes image = {'R', 'I', 'F', 'F'};
    uint32_t size = 4;
    for (const Bytes& chunk : chunks) size += uint32_t(chunk.size());
    PutLe32(&image, size);
    image.insert(image.end(), form, form + 4);
    for (const Bytes& chunk : chunks) image.insert(image.end(), chunk.begin(), chunk.end());
    return image;
}

Bytes Samples(size_t count) {
    Bytes samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = uint8_t(i * 7 + 1);
    return samples;
}

int32_t Read(const Bytes& image, WavClip* clip) {
    return ReadWavImage(image.data(), uint32_t(image.size()), clip);
}

// A plain 16-bit stereo clip: fmt at 12, data at 36.
Bytes StereoClip(size_t dataBytes) {
    return Riff({Chunk("fmt ", FmtBody(WavPcm, 2, 44100, 4, 16)), Chunk("data", Samples(dataBytes))});
}

TEST(WavImageLayout, PlainPcmGivesFormatAndWhereTheSamplesLie) {
    const Bytes image = StereoClip(400);
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.encoding, WavPcm);
    EXPECT_EQ(clip.channels, 2);
    EXPECT_EQ(clip.sampleRate, 44100u);
    EXPECT_EQ(clip.blockAlign, 4);
    EXPECT_EQ(clip.bitsPerSample, 16);
    EXPECT_EQ(clip.image, image.data());
    EXPECT_EQ(clip.imageBytes, image.size());
    EXPECT_EQ(clip.fmtOffset, 20u);
    EXPECT_EQ(clip.fmtBytes, 16u);
    EXPECT_EQ(clip.dataOffset, 44u);
    EXPECT_EQ(clip.dataBytes, 400u);
}

TEST(WavImageLayout, ChunksBeforeBetweenAndAfterAreSkipped) {
    const Bytes image =
        Riff({Chunk("LIST", Samples(30)), Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 2, 16)),
              Chunk("fact", Samples(4)), Chunk("data", Samples(10)), Chunk("data", Samples(50))});
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.fmtOffset, 12u + 38u + 8u);
    EXPECT_EQ(clip.dataOffset, 12u + 38u + 24u + 12u + 8u);
    EXPECT_EQ(clip.dataBytes, 10u) << "the first data chunk is the clip";
}

TEST(WavImageLayout, DataBeforeFmtIsFound) {
    const Bytes image = Riff({Chunk("data", Samples(8)), Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8))});
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.dataOffset, 20u);
    EXPECT_EQ(clip.dataBytes, 8u);
    EXPECT_EQ(clip.fmtOffset, 36u);
}

TEST(WavImageLayout, OddChunkIsFollowedByItsPadByte) {
    const Bytes image = Riff({Chunk("LIST", Samples(3)), Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8)),
                              Chunk("data", Samples(5))});
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.fmtOffset, 12u + 12u + 8u);
    EXPECT_EQ(clip.dataBytes, 5u);
}

TEST(WavImageLayout, OddChunkWithoutItsPadByteIsToleratedToo) {
    const Bytes image = Riff({Chunk("LIST", Samples(3), 3, false),
                              Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8)), Chunk("data", Samples(5))});
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.fmtOffset, 12u + 11u + 8u);
    EXPECT_EQ(clip.dataOffset, 12u + 11u + 24u + 8u);
}

TEST(WavImageLayout, RiffSizeIsNotTrusted) {
    Bytes image = StereoClip(40);
    image[4] = 4;  // a RIFF size that ends the form right after "WAVE"
    image[5] = image[6] = image[7] = 0;
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.dataBytes, 40u);
}

TEST(WavImageFormat, ExtensibleIsResolvedToItsSubFormat) {
    const Bytes image =
        Riff({Chunk("fmt ", ExtensibleFmtBody(WavFloat, 2, 48000, 8, 32)), Chunk("data", Samples(64))});
    WavClip clip;
    ASSERT_EQ(Read(image, &clip), 1);
    EXPECT_EQ(clip.encoding, WavFloat);
    EXPECT_EQ(clip.channels, 2);
    EXPECT_EQ(clip.sampleRate, 48000u);
    EXPECT_EQ(clip.blockAlign, 8);
    EXPECT_EQ(clip.bitsPerSample, 32);
    EXPECT_EQ(clip.fmtBytes, 40u);
}

TEST(WavImageFormat, ExtensibleWithoutItsSubFormatIsRefused) {
    Bytes fmt = ExtensibleFmtBody(WavPcm, 2, 48000, 4, 16);
    fmt.resize(24);
    WavClip clip;
    EXPECT_EQ(Read(Riff({Chunk("fmt ", fmt), Chunk("data", Samples(64))}), &clip), 0);
}

TEST(WavImageFormat, TruncatedFmtIsRefused) {
    Bytes fmt = FmtBody(WavPcm, 1, 8000, 2, 16);
    fmt.resize(14);
    WavClip clip;
    EXPECT_EQ(Read(Riff({Chunk("fmt ", fmt), Chunk("data", Samples(64))}), &clip), 0);
    // A fmt whose header claims 16 bytes but whose image ends sooner.
    const Bytes cut = Riff({Chunk("data", Samples(4)), Chunk("fmt ", fmt, 16)});
    EXPECT_EQ(Read(cut, &clip), 0);
}

TEST(WavImageFormat, UnplayableFormatsAreRefused) {
    WavClip clip;
    EXPECT_EQ(Read(Riff({Chunk("fmt ", FmtBody(WavPcm, 0, 8000, 2, 16)), Chunk("data", Samples(8))}), &clip),
              0);
    EXPECT_EQ(Read(Riff({Chunk("fmt ", FmtBody(WavPcm, 1, 0, 2, 16)), Chunk("data", Samples(8))}), &clip), 0);
    EXPECT_EQ(Read(Riff({Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 0, 16)), Chunk("data", Samples(8))}), &clip),
              0);
}

TEST(WavImageData, LyingDataSizeIsClampedToTheImageAndWholeFrames) {
    const Bytes fmt = Chunk("fmt ", FmtBody(WavPcm, 2, 44100, 4, 16));
    WavClip clip;
    ASSERT_EQ(Read(Riff({fmt, Chunk("data", Samples(101), 0x7FFFFFF0)}), &clip), 1);
    EXPECT_EQ(clip.dataOffset, 44u);
    EXPECT_EQ(clip.dataBytes, 100u);
    ASSERT_EQ(Read(Riff({fmt, Chunk("data", Samples(10), 0xFFFFFFFF)}), &clip), 1);
    EXPECT_EQ(clip.dataBytes, 8u);
}

TEST(WavImageData, OddDataSizeKeepsWholeFramesOnly) {
    WavClip clip;
    ASSERT_EQ(Read(StereoClip(403), &clip), 1);
    EXPECT_EQ(clip.dataBytes, 400u);
}

TEST(WavImageData, LessThanOneFrameIsRefused) {
    WavClip clip;
    EXPECT_EQ(Read(StereoClip(3), &clip), 0);
    EXPECT_EQ(Read(StereoClip(0), &clip), 0);
    EXPECT_EQ(Read(StereoClip(4), &clip), 1);
}

TEST(WavImageData, ChunkSizeThatWouldWrapAroundEndsTheWalk) {
    // A LIST chunk holds a clip of its own, and the chunk after it claims just so much that
    // 32-bit offset arithmetic would wrap back onto the LIST body.
    const Bytes inner = Riff({Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8)), Chunk("data", Samples(16))});
    const Bytes listBody(inner.begin() + 12, inner.end());
    const uint32_t wrapsToListBody = uint32_t(0x100000000ull - 8 - listBody.size());
    const Bytes image = Riff({Chunk("LIST", listBody), Chunk("JUNK", Samples(8), wrapsToListBody)});
    WavClip clip;
    EXPECT_EQ(Read(image, &clip), 0);
}

TEST(WavImageRefusal, JunkAndMissingChunksAreRefused) {
    WavClip clip;
    const Bytes junk = Samples(200);
    EXPECT_EQ(Read(junk, &clip), 0);
    EXPECT_EQ(Read(Bytes{}, &clip), 0);
    EXPECT_EQ(ReadWavImage(nullptr, 100, &clip), 0);
    EXPECT_EQ(Read(Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}, &clip), 0);
    EXPECT_EQ(
        Read(Riff({Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8)), Chunk("data", Samples(8))}, "AVI "), &clip),
        0);
    EXPECT_EQ(Read(Riff({Chunk("fmt ", FmtBody(WavPcm, 1, 8000, 1, 8))}), &clip), 0);
    EXPECT_EQ(Read(Riff({Chunk("data", Samples(8))}), &clip), 0);
    EXPECT_EQ(Read(Riff({}), &clip), 0);
}

TEST(WavImageRefusal, RefusedImageLeavesTheClipEmpty) {
    WavClip clip;
    ASSERT_EQ(Read(StereoClip(40), &clip), 1);
    EXPECT_EQ(Read(StereoClip(2), &clip), 0);
    EXPECT_EQ(clip.image, nullptr);
    EXPECT_EQ(clip.dataBytes, 0u);
    EXPECT_EQ(clip.channels, 0);
}

// Every prefix of an image, placed so that its last byte is the last before an
// inaccessible page: a read past the bytes at hand faults.
TEST(WavImageBounds, NoPrefixOfAnImageIsReadPastItsEnd) {
    const Bytes image =
        Riff({Chunk("LIST", Samples(3)), Chunk("fmt ", ExtensibleFmtBody(WavPcm, 2, 8000, 4, 16)),
              Chunk("data", Samples(41), 0xFFFFFFF0)});
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    uint8_t* pages = static_cast<uint8_t*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    int32_t found = 0;
    for (size_t bytes = 0; bytes <= image.size(); ++bytes) {
        uint8_t* at = pages + page - bytes;
        std::memcpy(at, image.data(), bytes);
        WavClip clip;
        if (ReadWavImage(at, uint32_t(bytes), &clip) == 1) {
            ++found;
            EXPECT_LE(uint64_t(clip.dataOffset) + clip.dataBytes, bytes);
            EXPECT_EQ(clip.dataBytes % 4, 0u);
        }
    }
    munmap(pages, 2 * page);
    // From the prefix holding the first whole frame on, each finds the clip.
    const size_t dataBody = 12 + 12 + 48 + 8;
    EXPECT_EQ(size_t(found), image.size() - (dataBody + 4) + 1);
}

}  // namespace
