#include "alert_sound.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "call_journal.h"
#include "fake_clip_player.h"
#include "fake_message_box.h"
#include "wav_builder.h"

namespace {

const Bytes Mono16 = Fmt(WavPcm, 1, 8000, 2, 16);  // its clips' samples start at 44

// Each test in a fresh working directory of its own, with the fake player reset.
class AlertSoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/alert_sound_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        std::filesystem::current_path(dir_ = pattern);
        FakeClipPlayerReset();
        FakeMessageBoxReset();
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    static void WriteClip(const Bytes& bytes) {
        std::ofstream(AlertClipFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::filesystem::path previous_ = std::filesystem::current_path();
    std::filesystem::path dir_;
};

TEST_F(AlertSoundTest, MissingFileFailsOnlyAPlayableOneOpensThePlayerAndASecondLoadReplacesIt) {
    EXPECT_EQ(LoadAlertSound(), 1) << "no file";
    // A FIFO never holds the load up: it yields nothing without a writer, and only what
    // is there with one that has more to say.
    ASSERT_EQ(mkfifo(AlertClipFile, 0600), 0);
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, 0u);
    int writer = open(AlertClipFile, O_RDWR);
    ASSERT_EQ(write(writer, "RIFF", 4), 4);
    EXPECT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(SoundClipLoaded, 4u);
    close(writer);
    std::filesystem::remove(AlertClipFile);
    for (const Bytes& file : {Bytes{}, Bytes(1000, 'x')}) {
        WriteClip(file);
        EXPECT_EQ(LoadAlertSound(), 0);
        EXPECT_EQ(Bytes(SoundClip, SoundClip + SoundClipLoaded), file);
    }
    EXPECT_EQ(FakeClipPlayerOpens, 0);
    WriteClip(Wav(Mono16, Bytes(4000, 0xA5)));
    ASSERT_EQ(LoadAlertSound(), 0);
    ASSERT_EQ(FakeClipPlayerOpens, 1);
    EXPECT_EQ(FakeClipPlayerClip.image, SoundClip);
    EXPECT_EQ(FakeClipPlayerClip.dataBytes, 4000u);
    for (int i = 0; i < 3; ++i) PlayAlertSound();
    EXPECT_EQ(FakeClipPlayerStarts, 3) << "loading starts nothing, every play starts it";
    JournalClear();
    WriteClip(Wav(Mono16, Bytes(100, 0x11)));
    ASSERT_EQ(LoadAlertSound(), 0);
    EXPECT_EQ(JournalText(), "player close\nplayer open\n");
    EXPECT_EQ(FakeClipPlayerClip.dataBytes, 100u);
    EXPECT_EQ(SoundClipLoaded, 144u);
    EXPECT_EQ(SoundClip[143], 0x11);
    EXPECT_TRUE(std::all_of(SoundClip + 144, SoundClip + 4044, [](uint8_t byte) { return byte == 0; }))
        << "a shorter clip leaves nothing of the first behind";
}

// A file of the load limit is read whole; a longer one is cut there, so the last byte stays 0.
TEST_F(AlertSoundTest, FileIsReadUpToTheLoadLimitLeavingTheLastByteZero) {
    for (const uint32_t fileBytes : {SoundClipMaxLoad, SoundClipBytes + 100}) {
        Bytes file = Wav(Mono16, {}, 0xFFFFFFFF);
        file.resize(fileBytes, 0xA5);
        WriteClip(file);
        EXPECT_EQ(LoadAlertSound(), 0);
        EXPECT_EQ(SoundClipLoaded, SoundClipMaxLoad);
        EXPECT_EQ(SoundClip[SoundClipMaxLoad - 1], 0xA5);
        EXPECT_EQ(SoundClip[SoundClipBytes - 1], 0);
        EXPECT_EQ(FakeClipPlayerClip.imageBytes, SoundClipMaxLoad) << "the clip is the bytes read";
    }
    EXPECT_EQ(FakeClipPlayerOpens, 2);
}

// An output there at load that has gone since (a sound server that ended): every alarm tries
// it, and says once that it cannot sound, until one reaches it. An output that never opened
// was told of at start-up.
TEST_F(AlertSoundTest, AnAlarmThatFindsNoOutputSaysSoOnceUntilOneDoes) {
    WriteClip(Wav(Mono16, Bytes(400, 0x11)));
    ASSERT_EQ(LoadAlertSound(), 0);
    for (int32_t reached : {0, 0, 1, 0, 0}) {
        FakeClipPlayerStartResult = reached;
        PlayAlertSound();
    }
    EXPECT_EQ(FakeClipPlayerStarts, 5);
    EXPECT_EQ(FakeNotices, std::vector<std::string>(2, MuteNotice));
    FakeClipPlayerOpenResult = 0;
    ASSERT_EQ(LoadAlertSound(), 0);
    PlayAlertSound();
    EXPECT_EQ(FakeNotices.size(), 2u);
}

}  // namespace
