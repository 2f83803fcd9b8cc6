// The SDL player through SDL's disk driver, which writes the output, in the device's format,
// to the file SDL_DISKAUDIOFILE names, at the real-time pace of one buffer per buffer period.
#include "alert_sound.h"
#include "clip_player.h"
#include "wav_image.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t RateHz = 8000;
constexpr int OutputWaitSeconds = 10;  // far beyond need, for a loaded machine

void PutLe16(Bytes* to, uint32_t value) {
    to->push_back(uint8_t(value));
    to->push_back(uint8_t(value >> 8));
}

void PutLe32(Bytes* to, uint32_t value) {
    PutLe16(to, value & 0xFFFF);
    PutLe16(to, value >> 16);
}

void PutId(Bytes* to, const char* id) {
    to->insert(to->end(), id, id + 4);
}

void PutFloat(Bytes* to, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLe32(to, bits);
}

struct Format {
    uint16_t tag;
    uint16_t channels;
    uint16_t blockAlign;
    uint16_t bits;
    Bytes extension;  // fmt bytes after the common 16
    uint32_t rate = RateHz;
};

Bytes FmtBody(const Format& format) {
    Bytes body;
    PutLe16(&body, format.tag);
    PutLe16(&body, format.channels);
    PutLe32(&body, format.rate);
    PutLe32(&body, format.rate * format.blockAlign);
    PutLe16(&body, format.blockAlign);
    PutLe16(&body, format.bits);
    body.insert(body.end(), format.extension.begin(), format.extension.end());
    return body;
}

// A WAV image whose data chunk claims `dataClaim` bytes and holds `data`, then `trailer`.
Bytes Wav(const Format& format, const Bytes& data, uint32_t dataClaim, const Bytes& trailer = {}) {
    const Bytes fmt = FmtBody(format);
    Bytes image;
    PutId(&image, "RIFF");
    PutLe32(&image, uint32_t(4 + 8 + fmt.size() + 8 + data.size() + trailer.size()));
    PutId(&image, "WAVE");
    PutId(&image, "fmt ");
    PutLe32(&image, uint32_t(fmt.size()));
    image.insert(image.end(), fmt.begin(), fmt.end());
    PutId(&image, "data");
    PutLe32(&image, dataClaim);
    image.insert(image.end(), data.begin(), data.end());
    image.insert(image.end(), trailer.begin(), trailer.end());
    return image;
}

Bytes Wav(const Format& format, const Bytes& data) {
    return Wav(format, data, uint32_t(data.size()));
}

Bytes Le16Samples(const std::vector<int32_t>& samples) {
    Bytes bytes;
    for (int32_t sample : samples) PutLe16(&bytes, uint32_t(sample));
    return bytes;
}

// 16-bit mono samples 1, 2, 3, ...: no run of them is silence or repeats.
Bytes Ramp16(size_t count) {
    std::vector<int32_t> samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = int32_t(i + 1);
    return Le16Samples(samples);
}

const Format Pcm16Mono = {WavPcm, 1, 2, 16, {}};

// IMA ADPCM, mono: 4-byte block header (first sample, step index, reserved) and 252 bytes
// of nibbles, (252 * 2) + 1 samples a block.
constexpr uint16_t ImaBlockBytes = 256;
constexpr uint32_t ImaBlockSamples = 505;
const Format ImaMono = {
    WavImaAdpcm, 1, ImaBlockBytes, 4, {2, 0, ImaBlockSamples & 0xFF, ImaBlockSamples >> 8}};

// Blocks whose nibbles are all 0: at step index 0 the step (7) adds nothing, so every
// sample of a block is its header's.
Bytes ImaBlocks(const std::vector<int16_t>& firstSamples) {
    Bytes data;
    for (int16_t first : firstSamples) {
        PutLe16(&data, uint16_t(first));
        data.push_back(0);
        data.push_back(0);
        data.resize(data.size() + ImaBlockBytes - 4, 0);
    }
    return data;
}

// MS ADPCM, mono, with the seven standard coefficient pairs: a 7-byte block header
// (predictor, delta, sample 1, sample 2) and 249 bytes of nibbles, 2 + 249 * 2 samples.
constexpr uint16_t MsBlockBytes = 256;
constexpr uint32_t MsBlockSamples = 500;
Format MsAdpcmMono() {
    Bytes extension;
    PutLe16(&extension, 32);  // cbSize
    PutLe16(&extension, MsBlockSamples);
    PutLe16(&extension, 7);
    const int16_t coefficients[14] = {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232};
    for (int16_t coefficient : coefficients) PutLe16(&extension, uint16_t(coefficient));
    return {WavMsAdpcm, 1, MsBlockBytes, 4, extension};
}

size_t Find(const Bytes& within, const Bytes& what, size_t from = 0) {
    if (from > within.size()) return std::string::npos;
    auto at = std::search(within.begin() + std::ptrdiff_t(from), within.end(), what.begin(), what.end());
    return at == within.end() ? std::string::npos : size_t(at - within.begin());
}

bool AllAre(const Bytes& bytes, size_t from, size_t to, uint8_t value) {
    return std::all_of(bytes.begin() + std::ptrdiff_t(from), bytes.begin() + std::ptrdiff_t(to),
                       [value](uint8_t byte) { return byte == value; });
}

class ClipPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/clip_player_sdl_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        output_ = dir_ / "output.raw";
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", output_.c_str(), 1);
        unsetenv("SDL_DISKAUDIODELAY");
    }
    void TearDown() override {
        CloseClipPlayer();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    }

    static void WriteClip(const Bytes& bytes) {
        std::ofstream out(AlertClipFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    Bytes Output() const {
        std::ifstream in(output_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Polls the output (written in stdio-sized pieces) until `done` holds of it.
    bool WaitForOutput(const std::function<bool(const Bytes&)>& done) const {
        const auto until = Clock::now() + std::chrono::seconds(OutputWaitSeconds);
        while (Clock::now() < until) {
            if (done(Output())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits until `expected` is in the output with some output after it, closes the player
    // (which flushes the file) and checks that `expected` sounded once, alone in silence.
    void ExpectPlayedAlone(const Bytes& expected, uint8_t silence) {
        const size_t tailBytes = 256;
        ASSERT_TRUE(WaitForOutput([&](const Bytes& out) {
            const size_t at = Find(out, expected);
            return at != std::string::npos && out.size() >= at + expected.size() + tailBytes;
        })) << "the clip never landed in the output";
        CloseClipPlayer();
        const Bytes out = Output();
        const size_t at = Find(out, expected);
        ASSERT_NE(at, std::string::npos);
        EXPECT_TRUE(AllAre(out, 0, at, silence)) << "something sounded before the clip";
        EXPECT_TRUE(AllAre(out, at + expected.size(), out.size(), silence))
            << "something sounded after the clip";
    }
    void ExpectNoOutputWhilePlaying() {
        PlayAlertSound();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PlayAlertSound();
        EXPECT_FALSE(std::filesystem::exists(output_)) << "an output device was opened";
    }

    std::filesystem::path dir_;
    std::filesystem::path output_;
    std::filesystem::path previous_;
};

struct FormatCase {
    const char* name;
    Format format;
    Bytes data;
    Bytes expected;  // in the output's format
    uint8_t silence;
};

std::vector<FormatCase> FormatCases() {
    std::vector<FormatCase> cases;

    Bytes pcm8;
    for (int i = 0; i < 200; ++i) pcm8.push_back(uint8_t(i + 1));
    cases.push_back({"Pcm8", {WavPcm, 1, 1, 8, {}}, pcm8, pcm8, 0x80});

    const Bytes pcm16 = Ramp16(400);
    cases.push_back({"Pcm16Stereo", {WavPcm, 2, 4, 16, {}}, pcm16, pcm16, 0});

    Bytes pcm24;
    Bytes pcm24As32;
    for (int i = 0; i < 300; ++i) {
        const uint8_t sample[3] = {uint8_t(i * 3 + 1), uint8_t(i * 5 + 2), uint8_t(i + 0x80)};
        pcm24.insert(pcm24.end(), sample, sample + 3);
        pcm24As32.push_back(0);
        pcm24As32.insert(pcm24As32.end(), sample, sample + 3);
    }
    cases.push_back({"Pcm24", {WavPcm, 1, 3, 24, {}}, pcm24, pcm24As32, 0});

    Bytes pcm32;
    for (uint32_t i = 0; i < 200; ++i) PutLe32(&pcm32, 0x01000001u * (i + 1));
    cases.push_back({"Pcm32", {WavPcm, 1, 4, 32, {}}, pcm32, pcm32, 0});

    Bytes float32;
    for (int i = 0; i < 400; ++i) PutFloat(&float32, float(i + 1) / 1000.0f);
    cases.push_back({"Float32Stereo", {WavFloat, 2, 8, 32, {}}, float32, float32, 0});

    // Out-of-range samples are limited to full scale, NaN is silent.
    const double values[] = {0.5, -0.25, 1.0, -1.0, 2.5, -3.0, std::nan(""), 0.125};
    const float asFloat[] = {0.5f, -0.25f, 1.0f, -1.0f, 1.0f, -1.0f, 0.0f, 0.125f};
    Bytes float64;
    Bytes float64As32;
    for (int repeat = 0; repeat < 40; ++repeat) {
        for (size_t i = 0; i < 8; ++i) {
            uint64_t bits;
            std::memcpy(&bits, &values[i], sizeof bits);
            PutLe32(&float64, uint32_t(bits));
            PutLe32(&float64, uint32_t(bits >> 32));
            PutFloat(&float64As32, asFloat[i]);
        }
    }
    cases.push_back({"Float64", {WavFloat, 1, 8, 64, {}}, float64, float64As32, 0});

    // G.711 reference points.
    Bytes alaw;
    std::vector<int32_t> alawLinear;
    Bytes mulaw;
    std::vector<int32_t> mulawLinear;
    for (int repeat = 0; repeat < 50; ++repeat) {
        alaw.insert(alaw.end(), {0xD5, 0x55, 0xAA, 0x2A});
        alawLinear.insert(alawLinear.end(), {8, -8, 32256, -32256});
        mulaw.insert(mulaw.end(), {0x80, 0x00, 0xFE, 0x7E});
        mulawLinear.insert(mulawLinear.end(), {32124, -32124, 8, -8});
    }
    cases.push_back({"ALaw", {WavALaw, 1, 1, 8, {}}, alaw, Le16Samples(alawLinear), 0});
    cases.push_back({"MuLaw", {WavMuLaw, 1, 1, 8, {}}, mulaw, Le16Samples(mulawLinear), 0});

    // cbSize, valid bits, channel mask, then the PCM sub-format GUID.
    const Bytes extensible = {22, 0, 16, 0, 4, 0, 0, 0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    cases.push_back({"ExtensiblePcm16", {0xFFFE, 1, 2, 16, extensible}, Ramp16(300), Ramp16(300), 0});

    std::vector<int32_t> ima(ImaBlockSamples, 1000);
    ima.insert(ima.end(), ImaBlockSamples, -2000);
    cases.push_back({"ImaAdpcm", ImaMono, ImaBlocks({1000, -2000}), Le16Samples(ima), 0});

    // One block: sample 2 comes first, then sample 1; with coefficients (256, 0) and nibbles
    // of 0 every later sample predicts sample 1 again.
    Bytes ms = {0};
    PutLe16(&ms, 16);
    PutLe16(&ms, 3000);
    PutLe16(&ms, uint16_t(-1000));
    ms.resize(MsBlockBytes, 0);
    std::vector<int32_t> msLinear(MsBlockSamples, 3000);
    msLinear[0] = -1000;
    cases.push_back({"MsAdpcm", MsAdpcmMono(), ms, Le16Samples(msLinear), 0});
    return cases;
}

void PrintTo(const FormatCase& test, std::ostream* out) {
    *out << test.name;
}

class ClipFormatTest : public ClipPlayerTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ClipFormatTest, PlayLandsInTheOutput) {
    const FormatCase& test = GetParam();
    WriteClip(Wav(test.format, test.data));
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    ExpectPlayedAlone(test.expected, test.silence);
}

INSTANTIATE_TEST_SUITE_P(Encodings, ClipFormatTest, ::testing::ValuesIn(FormatCases()),
                         [](const ::testing::TestParamInfo<FormatCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ClipPlayerTest, ReplayCutsTheClipOffAndRestartsItFromItsFirstSample) {
    const size_t clipSamples = 2 * RateHz;  // 2 s
    const Bytes clip = Ramp16(clipSamples);
    const Bytes firstSamples(clip.begin(), clip.begin() + 32);
    WriteClip(Wav(Pcm16Mono, clip));
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    const Bytes firstPart(clip.begin(), clip.begin() + 2000);
    ASSERT_TRUE(WaitForOutput([&](const Bytes& out) { return Find(out, firstPart) != std::string::npos; }));
    PlayAlertSound();
    ASSERT_TRUE(WaitForOutput([&](const Bytes& out) {
        const size_t first = Find(out, firstSamples);
        const size_t again = Find(out, clip, first + 2);
        return first != std::string::npos && again != std::string::npos &&
               out.size() >= again + clip.size() + 256;
    }));
    CloseClipPlayer();

    const Bytes out = Output();
    const size_t first = Find(out, firstSamples);
    ASSERT_NE(first, std::string::npos);
    const size_t again = Find(out, firstSamples, first + 2);
    ASSERT_NE(again, std::string::npos);
    const size_t cutAfter = again - first;
    EXPECT_GE(cutAfter, firstPart.size());
    EXPECT_LT(cutAfter, clip.size()) << "the first play was not cut off";
    EXPECT_TRUE(std::equal(clip.begin(), clip.begin() + std::ptrdiff_t(cutAfter),
                           out.begin() + std::ptrdiff_t(first)))
        << "the first play was not the clip's beginning alone";
    ASSERT_LE(again + clip.size(), out.size());
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), out.begin() + std::ptrdiff_t(again)))
        << "the second play was not the whole clip alone";
    EXPECT_TRUE(AllAre(out, 0, first, 0));
    EXPECT_TRUE(AllAre(out, again + clip.size(), out.size(), 0));
}

TEST_F(ClipPlayerTest, ChunkAfterTheDataIsNotPlayed) {
    const Bytes data = Ramp16(300);
    Bytes trailer;
    PutId(&trailer, "LIST");
    PutLe32(&trailer, 400);
    trailer.resize(trailer.size() + 400, 0x7F);
    WriteClip(Wav(Pcm16Mono, data, uint32_t(data.size()), trailer));
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    ExpectPlayedAlone(data, 0);
}

// The image ends right before an inaccessible page, and its data chunk claims far more than
// there is: a read past the bytes at hand faults.
class GuardedImage {
public:
    explicit GuardedImage(const Bytes& image) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        mapBytes_ = (image.size() / page + 2) * page;
        void* map = mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return;
        map_ = static_cast<uint8_t*>(map);
        if (mprotect(map_ + mapBytes_ - page, page, PROT_NONE) != 0) return;
        at_ = map_ + mapBytes_ - page - image.size();
        std::memcpy(at_, image.data(), image.size());
    }
    ~GuardedImage() {
        if (map_ != nullptr) munmap(map_, mapBytes_);
    }
    const uint8_t* at() const { return at_; }

private:
    uint8_t* map_ = nullptr;
    uint8_t* at_ = nullptr;
    size_t mapBytes_ = 0;
};

TEST_F(ClipPlayerTest, LyingDataSizePlaysTheBytesAtHandAndNoMore) {
    const Bytes data = Ramp16(1001);
    const Bytes image = Wav({WavPcm, 2, 4, 16, {}}, Bytes(data.begin(), data.end() - 1), 0x7FFFFFF0);
    GuardedImage guarded(image);
    ASSERT_NE(guarded.at(), nullptr);
    WavClip clip;
    ASSERT_EQ(ReadWavImage(guarded.at(), uint32_t(image.size()), &clip), 1);
    OpenClipPlayer(clip);
    StartClipPlayer();
    ExpectPlayedAlone(Bytes(data.begin(), data.begin() + 2000), 0);
}

TEST_F(ClipPlayerTest, LyingDataSizeOfAnAdpcmClipDecodesTheBlocksAtHandAndNoMore) {
    Bytes data = ImaBlocks({1200, -700});
    data.resize(data.size() + 100, 0x33);  // part of a third block
    const Bytes image = Wav(ImaMono, data, 0xFFFFFFF0);
    GuardedImage guarded(image);
    ASSERT_NE(guarded.at(), nullptr);
    WavClip clip;
    ASSERT_EQ(ReadWavImage(guarded.at(), uint32_t(image.size()), &clip), 1);
    OpenClipPlayer(clip);
    StartClipPlayer();
    std::vector<int32_t> expected(ImaBlockSamples, 1200);
    expected.insert(expected.end(), ImaBlockSamples, -700);
    ExpectPlayedAlone(Le16Samples(expected), 0);
}

TEST_F(ClipPlayerTest, FileThatIsNoWavOrInAnEncodingItCannotPlayPlaysNothing) {
    const Format mp3 = {0x0055, 1, 1, 0, {}};
    for (const Bytes& file : {Bytes(5000, 0x42), Wav(mp3, Bytes(4000, 0x42))}) {
        WriteClip(file);
        ASSERT_EQ(LoadAlertSound(), 0);
        ExpectNoOutputWhilePlaying();
    }
}

TEST_F(ClipPlayerTest, StartReturnsAtOnce) {
    WriteClip(Wav(Pcm16Mono, Ramp16(RateHz)));
    ASSERT_EQ(LoadAlertSound(), 0);
    std::vector<double> micros;
    for (int i = 0; i < 2000; ++i) {
        const auto before = Clock::now();
        PlayAlertSound();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    }
    std::sort(micros.begin(), micros.end());
    const double median = micros[micros.size() / 2];
    std::printf("PlayAlertSound: median %.3f us, 99th percentile %.3f us, max %.3f us\n", median,
                micros[micros.size() * 99 / 100], micros.back());
    EXPECT_LT(median, 1000.0);
}

TEST_F(ClipPlayerTest, WithNoUsableDriverStartDoesNothingAndALaterOpenWorks) {
    const Bytes data = Ramp16(400);
    WriteClip(Wav(Pcm16Mono, data));
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    ASSERT_EQ(LoadAlertSound(), 0);
    const auto before = Clock::now();
    PlayAlertSound();
    const double millis = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    EXPECT_LT(millis, 1.0);
    ExpectNoOutputWhilePlaying();

    setenv("SDL_AUDIODRIVER", "disk", 1);
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    ExpectPlayedAlone(data, 0);
}

// CPU time of the whole process while the player sits silent after one play of a CD-rate
// clip, on the dummy driver's real-time pace.
TEST_F(ClipPlayerTest, SilentPlayerCostsLittleCpu) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const uint32_t cdRateHz = 44100;
    WriteClip(Wav({WavPcm, 2, 4, 16, {}, cdRateHz}, Ramp16(cdRateHz / 5)));
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    std::printf("silent player: %.3f ms CPU per second (%.4f%% of one core)\n", 1000.0 * cpu / wall,
                100.0 * cpu / wall);
    EXPECT_LT(cpu / wall, 0.05);
}

}  // namespace
