// The SDL player on SDL's disk driver, which writes the output to SDL_DISKAUDIOFILE in real time.
#include "clip_player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "wav_builder.h"

namespace {

constexpr uint32_t RateHz = 8000;

// Samples as this little-endian host, and the output, hold them.
template <typename Sample>
Bytes Raw(const std::vector<Sample>& samples) {
    const uint8_t* const bytes = reinterpret_cast<const uint8_t*>(samples.data());
    return Bytes(bytes, bytes + samples.size() * sizeof(Sample));
}

// Where `what` begins in `within`; within.size() when it is not there.
size_t Find(const Bytes& within, const Bytes& what) {
    return size_t(std::search(within.begin(), within.end(), what.begin(), what.end()) - within.begin());
}

// Whether all of `out` but the bytes from `from` to `to` is `silence`.
bool SilentAround(Bytes out, size_t from, size_t to, uint8_t silence) {
    out.erase(out.begin() + std::ptrdiff_t(from), out.begin() + std::ptrdiff_t(to));
    return size_t(std::count(out.begin(), out.end(), silence)) == out.size();
}

class ClipPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", output_.c_str(), 1);
    }
    void TearDown() override {
        CloseClipPlayer();
        std::filesystem::remove(output_);
    }
    // Opens the player on a copy of `image` that ends right before an unreadable page.
    void Open(const Bytes& image) {
        CloseClipPlayer();
        image_ = Guarded(image);
        ASSERT_NE(image_, nullptr);
        WavClip clip;
        ASSERT_EQ(ReadWavImage(image_.get(), uint32_t(image.size()), &clip), 1);
        OpenClipPlayer(clip);
    }
    // The output once it holds `what` and `after` bytes more, polled as it is written in
    // stdio-sized pieces; empty after a time far beyond need, even on a loaded machine.
    Bytes OutputHolding(const Bytes& what, size_t after) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            std::ifstream in(output_, std::ios::binary);
            const Bytes out{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            const size_t at = Find(out, what);
            if (out.size() >= at + what.size() + after) return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }
    void ExpectPlayedOnceAlone(const Bytes& expected, uint8_t silence) const {
        ASSERT_FALSE(OutputHolding(expected, 256).empty()) << "the clip never landed in the output";
        CloseClipPlayer();  // which flushes the output
        const Bytes out = OutputHolding(expected, 0);
        const size_t at = Find(out, expected);
        ASSERT_LT(at, out.size());
        EXPECT_TRUE(SilentAround(out, at, at + expected.size(), silence)) << "something else sounded";
    }
    const std::filesystem::path output_ =
        std::filesystem::temp_directory_path() / ("sdl_player_test." + std::to_string(getpid()) + ".raw");
    std::shared_ptr<const uint8_t> image_;
};

// Each image's data chunk claims far more than there is: the whole frames at hand play, and
// not a byte beyond is read. Where a frame (block) is more than a byte, some end in part of one.
TEST_F(ClipPlayerTest, EachEncodingPlaysTheWholeFramesAtHandOnceAndAlone) {
    const auto plays = [this](const char* name, const Bytes& fmt, const Bytes& data, const Bytes& expected,
                              uint8_t silence = 0) {
        SCOPED_TRACE(name);
        Open(Wav(fmt, data, 0xFFFFFFF0));
        StartClipPlayer();
        ExpectPlayedOnceAlone(expected, silence);
    };
    const Bytes pcm = Samples(1200);
    plays("Pcm8", Fmt(WavPcm, 1, RateHz, 1, 8), pcm, pcm, 0x80);
    plays("Pcm16Stereo", Fmt(WavPcm, 2, RateHz, 4, 16), Samples(1202), pcm);
    plays("ExtensiblePcm16", Fmt(0xFFFE, 1, RateHz, 2, 16, Extensible(WavPcm, 16)), pcm, pcm);
    Bytes as32;  // `pcm` as 24-bit samples in 32-bit output
    for (size_t i = 0; i < pcm.size(); i += 3) as32.insert(as32.end(), {0, pcm[i], pcm[i + 1], pcm[i + 2]});
    plays("Pcm24", Fmt(WavPcm, 1, RateHz, 3, 24), Samples(1202), as32);
    plays("Pcm32", Fmt(WavPcm, 1, RateHz, 4, 32), Samples(1202), pcm);
    // Float64 samples out of range are limited to full scale, NaN is silent.
    const Bytes float64 = Raw<double>({0.5, -0.25, 1.0, -1.0, 2.5, -3.0, std::nan(""), 0.125});
    const Bytes float32 = Raw<float>({0.5f, -0.25f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 0.125f});
    plays("Float32Stereo", Fmt(WavFloat, 2, RateHz, 8, 32), float32, float32);
    plays("Float64", Fmt(WavFloat, 1, RateHz, 8, 64), float64, float32);
    // G.711 reference points.
    plays("ALaw", Fmt(WavALaw, 1, RateHz, 1, 8), {0xD5, 0x55, 0xAA, 0x2A},
          Raw<int16_t>({8, -8, 32256, -32256}));
    plays("MuLaw", Fmt(WavMuLaw, 1, RateHz, 1, 8), {0x80, 0x00, 0xFE, 0x7E},
          Raw<int16_t>({32124, -32124, 8, -8}));
    // An IMA ADPCM block: first sample, step index, reserved, nibbles. Nibbles of 0 at step
    // index 0 add nothing (the step is 7): all 505 samples are the first.
    Bytes ima = Raw<int16_t>({-2000, 0});
    ima.resize(256, 0);
    ima.resize(356, 0x33);  // and part of a second block
    plays("ImaAdpcm", Fmt(WavImaAdpcm, 1, RateHz, 256, 4, Raw<int16_t>({2, 505})), ima,
          Raw(std::vector<int16_t>(505, -2000)));
    // An MS ADPCM block: predictor, delta, sample 1, sample 2 (which plays first), nibbles. With
    // coefficients (256, 0) and nibbles of 0 each of the other 498 samples predicts sample 1.
    Bytes ms = {0, 16, 0, 0xB8, 0x0B, 0x18, 0xFC};  // predictor 0, delta 16, 3000, -1000
    ms.resize(256, 0);
    std::vector<int16_t> msLinear(500, 3000);
    msLinear[0] = -1000;
    const Bytes msFmt =  // cbSize, samples a block, and the seven standard coefficient pairs
        Raw<int16_t>({32, 500, 7, 256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232});
    plays("MsAdpcm", Fmt(WavMsAdpcm, 1, RateHz, 256, 4, msFmt), ms, Raw(msLinear));
}

TEST_F(ClipPlayerTest, ReplayCutsTheClipOffAndRestartsItFromItsFirstSample) {
    Bytes clip;  // 2 s of samples 1, 2, 3, ...: no run of them repeats
    for (uint32_t i = 1; i <= 2 * RateHz; ++i) PutLe(&clip, i, 2);
    const Bytes firstPart(clip.begin(), clip.begin() + 2000);
    Open(Wav(Fmt(WavPcm, 1, RateHz, 2, 16), clip));
    StartClipPlayer();
    ASSERT_FALSE(OutputHolding(firstPart, 0).empty());
    StartClipPlayer();
    ASSERT_FALSE(OutputHolding(clip, 256).empty());
    CloseClipPlayer();
    const Bytes out = OutputHolding(clip, 0);
    const size_t first = Find(out, firstPart);
    const size_t again = Find(out, clip);
    ASSERT_LT(first, again) << "the first play was not cut off";
    const auto start = out.begin() + std::ptrdiff_t(first), cut = out.begin() + std::ptrdiff_t(again);
    EXPECT_TRUE(std::mismatch(start, cut, clip.begin(), clip.end()).first == cut)
        << "the first play was not the clip's beginning alone";
    EXPECT_TRUE(SilentAround(out, first, again + clip.size(), 0));
}

// A clip in an encoding it cannot play, then one with no usable driver.
TEST_F(ClipPlayerTest, WhatCannotPlayOpensNoDeviceAndALaterOpenPlaysTheDataAlone) {
    const Bytes clip = Wav(Fmt(WavPcm, 1, RateHz, 2, 16), Samples(800), -1, Chunk("LIST", Bytes(400, 0x7F)));
    Open(Wav(Fmt(0x0055, 1, RateHz, 1, 0), Bytes(4000, 0x42)));
    StartClipPlayer();
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    Open(clip);
    StartClipPlayer();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(output_)) << "an output device was opened";
    setenv("SDL_AUDIODRIVER", "disk", 1);
    Open(clip);
    StartClipPlayer();
    ExpectPlayedOnceAlone(Samples(800), 0);
}

TEST_F(ClipPlayerTest, StartReturnsAtOnce) {
    Open(Wav(Fmt(WavPcm, 1, RateHz, 2, 16), Samples(16000)));
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) StartClipPlayer();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));  // 1 ms a start
}

}  // namespace
