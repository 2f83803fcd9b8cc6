#include "alert_sound.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "call_journal.h"
#include "fake_clip_player.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe32(Bytes* to, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*to)[at + i] = uint8_t(value >> (8 * i));
}

// A 16-bit mono 8000 Hz header whose data chunk claims `dataClaim` bytes, followed by
// `dataBytes` bytes of `fill`.
Bytes MonoClip(uint32_t dataBytes, uint32_t dataClaim, uint8_t fill = 0x5A) {
    // clang-format off
    Bytes image = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                   'f', 'm', 't', ' ', 16, 0, 0, 0,
                   1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x80, 0x3E, 0, 0, 2, 0, 16, 0,
                   'd', 'a', 't', 'a', 0, 0, 0, 0};
    // clang-format on
    PutLe32(&image, 4, 36 + dataClaim);
    PutLe32(&image, 40, dataClaim);
    image.resize(image.size() + dataBytes, fill);
    return image;
}

// Each test in a fresh working directory of its own, with the fake player reset.
class AlertSoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/alert_sound_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        FakeClipPlayerReset();
        JournalClear();
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    static void WriteClip(const Bytes& bytes) {
        std::ofstream out(AlertClipFile, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

TEST_F(AlertSoundTest, MissingFileFailsAndOpensNoPlayer) {
    EXPECT_EQ(LoadAlertSound(), 1);
    EXPECT_EQ(FakeClipPlayerOpens, 0);
}

TEST_F(AlertSoundTest, EmptyFileLoadsAndOpensNoPlayer) {
    WriteClip({});
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, 0u);
    EXPECT_EQ(FakeClipPlayerOpens, 0);
    PlayAlertSound();
    EXPECT_EQ(FakeClipPlayerStarts, 1);
}

TEST_F(AlertSoundTest, FileThatIsNoWavLoadsAndOpensNoPlayer) {
    WriteClip(Bytes(1000, 'x'));
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, 1000u);
    EXPECT_EQ(SoundClip[999], 'x');
    EXPECT_EQ(FakeClipPlayerOpens, 0);
}

TEST_F(AlertSoundTest, PlayableFileOpensThePlayerOnItsImage) {
    const Bytes file = MonoClip(800, 800);
    WriteClip(file);
    EXPECT_EQ(LoadAlertSound(), 0);
    ASSERT_EQ(SoundClipLoaded, file.size());
    EXPECT_EQ(Bytes(SoundClip, SoundClip + file.size()), file);
    ASSERT_EQ(FakeClipPlayerOpens, 1);
    const WavClip& clip = FakeClipPlayerClip;
    EXPECT_EQ(clip.image, SoundClip);
    EXPECT_EQ(clip.imageBytes, file.size());
    EXPECT_EQ(clip.encoding, WavPcm);
    EXPECT_EQ(clip.channels, 1);
    EXPECT_EQ(clip.sampleRate, 8000u);
    EXPECT_EQ(clip.bitsPerSample, 16);
    EXPECT_EQ(clip.dataOffset, 44u);
    EXPECT_EQ(clip.dataBytes, 800u);
    EXPECT_EQ(FakeClipPlayerStarts, 0) << "loading plays nothing";
}

TEST_F(AlertSoundTest, FileOfTheLoadLimitIsReadWhole) {
    WriteClip(MonoClip(SoundClipMaxLoad - 44, 0xFFFFFFFF, 0xA5));
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, SoundClipMaxLoad);
    EXPECT_EQ(SoundClip[SoundClipMaxLoad - 1], 0xA5);
    EXPECT_EQ(SoundClip[SoundClipBytes - 1], 0);
    ASSERT_EQ(FakeClipPlayerOpens, 1);
    EXPECT_EQ(FakeClipPlayerClip.dataBytes, (SoundClipMaxLoad - 44) & ~1u)
        << "clamped to the bytes read, whole frames";
}

TEST_F(AlertSoundTest, LongerFileIsCutSoTheLastByteStaysZero) {
    WriteClip(MonoClip(SoundClipBytes + 100, 0xFFFFFFFF, 0xA5));
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, SoundClipMaxLoad);
    EXPECT_EQ(SoundClip[SoundClipMaxLoad - 1], 0xA5);
    EXPECT_EQ(SoundClip[SoundClipBytes - 1], 0);
    ASSERT_EQ(FakeClipPlayerOpens, 1);
    EXPECT_EQ(FakeClipPlayerClip.imageBytes, SoundClipMaxLoad);
    EXPECT_EQ(FakeClipPlayerClip.dataBytes, (SoundClipMaxLoad - 44) & ~1u);
}

TEST_F(AlertSoundTest, SecondShorterLoadLeavesNothingOfTheFirstAndClosesItsPlayer) {
    WriteClip(MonoClip(4000, 4000, 0xA5));
    ASSERT_EQ(LoadAlertSound(), 0);
    JournalClear();
    WriteClip(MonoClip(100, 100, 0x11));
    ASSERT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, 144u);
    EXPECT_EQ(SoundClip[143], 0x11);
    EXPECT_EQ(SoundClip[144], 0);
    EXPECT_EQ(SoundClip[4043], 0);
    EXPECT_EQ(JournalText(), "player close\nplayer open\n");
    EXPECT_EQ(FakeClipPlayerClip.dataBytes, 100u);
}

TEST_F(AlertSoundTest, EveryPlayStartsThePlayer) {
    WriteClip(MonoClip(800, 800));
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    PlayAlertSound();
    PlayAlertSound();
    EXPECT_EQ(FakeClipPlayerStarts, 3);
    EXPECT_EQ(FakeClipPlayerOpens, 1);
}

}  // namespace
