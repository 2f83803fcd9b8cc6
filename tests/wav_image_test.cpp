#include "wav_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wav_builder.h"

namespace {

const Bytes Mono8 = Fmt(WavPcm, 1, 8000, 1, 8);
const Bytes Stereo16 = Fmt(WavPcm, 2, 44100, 4, 16);

WavClip Scratch;  // for reads whose clip a test does not look at
// Reads an image into *clip, filled with junk first: "refused" (checking that the clip then
// says nothing), or where the fmt and data bodies lie, as "fmt 20+16 data 44+400".
std::string Read(const Bytes& image, WavClip* clip = &Scratch) {
    std::memset(static_cast<void*>(clip), 0xA5, sizeof *clip);
    if (ReadWavImage(image.data(), uint32_t(image.size()), clip) == 0) {
        EXPECT_TRUE(clip->image == nullptr && clip->channels == 0 && clip->dataBytes == 0) << "clip kept";
        return "refused";
    }
    return "fmt " + std::to_string(clip->fmtOffset) + "+" + std::to_string(clip->fmtBytes) + " data " +
           std::to_string(clip->dataOffset) + "+" + std::to_string(clip->dataBytes);
}

TEST(WavImageLayout, FormatAndChunksAreFoundInAnyOrderWithOrWithoutPadBytesWhateverTheRiffSizeSays) {
    Bytes image = Wav(Stereo16, Samples(400));
    image[4] = 4;  // a RIFF size that ends the form right after "WAVE"
    image[5] = image[6] = image[7] = 0;
    WavClip clip;
    EXPECT_EQ(Read(image, &clip), "fmt 20+16 data 44+400");
    EXPECT_TRUE(clip.encoding == WavPcm && clip.channels == 2 && clip.sampleRate == 44100 &&
                clip.blockAlign == 4 && clip.bitsPerSample == 16);
    EXPECT_EQ(Read(Wav(Fmt(0xFFFE, 2, 48000, 8, 32, Extensible(WavFloat, 32)), Samples(64)), &clip),
              "fmt 20+40 data 68+64");
    EXPECT_EQ(clip.encoding, WavFloat) << "an extensible format is its sub-format";
    EXPECT_EQ(Read(Riff({Chunk("LIST", Samples(30)), Chunk("fmt ", Mono8), Chunk("fact", Samples(4)),
                         Chunk("data", Samples(10)), Chunk("data", Samples(50))})),
              "fmt 58+16 data 94+10")
        << "the first data chunk is the clip";
    EXPECT_EQ(Read(Riff({Chunk("data", Samples(8)), Chunk("fmt ", Mono8)})), "fmt 36+16 data 20+8");
    EXPECT_EQ(Read(Riff({Chunk("LIST", Samples(3)), Chunk("fmt ", Mono8), Chunk("data", Samples(5))})),
              "fmt 32+16 data 56+5");
    // Some writers leave the pad byte out.
    const Bytes unpadded = Chunk("LIST", Samples(3), 3, false);
    EXPECT_EQ(Read(Riff({unpadded, Chunk("fmt ", Mono8), Chunk("data", Samples(5))})), "fmt 31+16 data 55+5");
}

TEST(WavImageRefusal, ImagesThatAreNoClipOrSayTooLittleAreRefused) {
    EXPECT_EQ(ReadWavImage(nullptr, 100, &Scratch), 0);
    Bytes extensibleCut = Fmt(0xFFFE, 2, 48000, 4, 16, Extensible(WavPcm, 16));
    extensibleCut.resize(24);
    const Bytes fmtCut(Mono8.begin(), Mono8.begin() + 14);
    const Bytes refused[] = {
        Samples(200), {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}, Riff({Chunk("fmt ", Mono8)}),
        Riff({Chunk("fmt ", Mono8), Chunk("data", Samples(8))}, "AVI "), Riff({Chunk("data", Samples(8))}),
        Wav(extensibleCut, Samples(64)), Wav(fmtCut, Samples(64)),
        Riff({Chunk("data", Samples(4)), Chunk("fmt ", fmtCut, 16)}),  // ends inside fmt
        Wav(Fmt(WavPcm, 0, 8000, 2, 16), Samples(8)), Wav(Fmt(WavPcm, 1, 0, 2, 16), Samples(8)),
        Wav(Fmt(WavPcm, 1, 8000, 0, 16), Samples(8))};  // no channels, rate, block size
    for (const Bytes& image : refused) EXPECT_EQ(Read(image), "refused") << "image " << &image - refused;
}

TEST(WavImageBounds, SizesAreClampedToTheBytesAtHandAndNoPrefixIsReadPastItsEnd) {
    EXPECT_EQ(Read(Wav(Stereo16, Samples(101), 0x7FFFFFF0)), "fmt 20+16 data 44+100");
    EXPECT_EQ(Read(Wav(Stereo16, Samples(10), 0xFFFFFFFF)), "fmt 20+16 data 44+8");
    // A LIST chunk holds a clip, and the next chunk's size would wrap a 32-bit offset onto it.
    const Bytes inner = Wav(Mono8, Samples(16));
    const Bytes listBody(inner.begin() + 12, inner.end());
    const uint32_t wrapsToListBody = uint32_t(0x100000000ull - 8 - listBody.size());
    EXPECT_EQ(Read(Riff({Chunk("LIST", listBody), Chunk("JUNK", Samples(8), wrapsToListBody)})), "refused");

    // Each prefix, ending before an unreadable page, finds the whole frames once it holds one.
    const Bytes extensible = Fmt(0xFFFE, 2, 8000, 4, 16, Extensible(WavPcm, 16));
    const Bytes image =
        Riff({Chunk("LIST", Samples(3)), Chunk("fmt ", extensible), Chunk("data", Samples(41), 0xFFFFFFF0)});
    const size_t dataBody = 12 + 12 + 48 + 8;
    for (size_t bytes = 0; bytes <= image.size(); ++bytes) {
        const auto prefix = Guarded(Bytes(image.begin(), image.begin() + std::ptrdiff_t(bytes)));
        ASSERT_NE(prefix, nullptr);
        WavClip clip;
        EXPECT_EQ(ReadWavImage(prefix.get(), uint32_t(bytes), &clip), bytes >= dataBody + 4 ? 1 : 0) << bytes;
        EXPECT_EQ(clip.dataBytes, bytes >= dataBody + 4 ? (bytes - dataBody) / 4 * 4 : 0) << bytes;
    }
}

}  // namespace
