// The program's run from its entry, against the spies of every layer: the order of calls,
// the messages, the console text and the exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "call_journal.h"
#include "expected_banner.h"
#include "fake_clip_player.h"
#include "fake_console_keys.h"
#include "fake_hid_access.h"
#include "fake_message_box.h"
#include "fake_remote_clock.h"
#include "wii_remote.h"

int SentryMain(int argc, char** argv, char** envp);  // the program's main, renamed for the test

namespace {

class MainFlow : public ::testing::Test {
protected:
    void SetUp() override {
        FakeHidReset();
        FakeKeysReset();
        FakeClipPlayerReset();
        FakeMessageBoxReset();
        FakeClockReset();
        JournalClear();
        char pattern[] = "/tmp/sentry-flow-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        ASSERT_NE(getcwd(home, sizeof home), nullptr);
        ASSERT_EQ(chdir(folder.c_str()), 0);
    }
    void TearDown() override {
        std::remove("others_05.wav");
        ASSERT_EQ(chdir(home), 0);
        rmdir(folder.c_str());
    }
    static void PutClip() {
        std::FILE* file = std::fopen("others_05.wav", "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("RIFF", file);
        std::fclose(file);
    }
    // Runs the program; returns its exit status with what it wrote to standard output.
    static int Run(std::string* output) {
        char name[] = "quillbramble-sentry";
        char* argv[] = {name, nullptr};
        testing::internal::CaptureStdout();
        int status = SentryMain(1, argv, environ);
        *output = testing::internal::GetCapturedStdout();
        return status;
    }
    static size_t Find(const std::string& entry) {
        size_t at = JournalText().find(entry);
        EXPECT_NE(at, std::string::npos) << entry << " missing from\n" << JournalText();
        return at;
    }
    std::string folder;
    char home[4096];
};

TEST_F(MainFlow, WithoutTheClipItEndsAtOnceAndLeavesTheDeviceAlone) {
    std::string output;
    EXPECT_EQ(Run(&output), 1);
    EXPECT_EQ(FakeMessages, (std::vector<std::string>{"Wav files are not found."}));
    EXPECT_EQ(FakeHidOpens, 0);
    EXPECT_EQ(output, "");
}

TEST_F(MainFlow, WithoutARemoteItSaysSoAndClosesNothing) {
    PutClip();
    FakeHidOpenResult = -1;
    std::string output;
    EXPECT_EQ(Run(&output), 1);
    EXPECT_EQ(FakeMessages, (std::vector<std::string>{"Wii-Remote not found."}));
    EXPECT_EQ(FakeHidOpenedVendor, 0x057E);
    EXPECT_EQ(FakeHidOpenedProduct, 0x0306);
    EXPECT_TRUE(FakeHidWrites().empty());
    EXPECT_EQ(FakeHidCloses, 0);
    EXPECT_EQ(output, "");
}

TEST_F(MainFlow, ASilentRemoteFailsTheProbeWithStatusZeroAndNoConsoleText) {
    PutClip();
    std::string output;
    EXPECT_EQ(Run(&output), 0);
    EXPECT_EQ(FakeMessages, (std::vector<std::string>{"Wii-Remote cannot open."}));
    EXPECT_EQ(output, "");
    EXPECT_EQ(FakeClipPlayerStarts, 0);
    EXPECT_LT(Find("hid write 12 00 31"), Find("message Wii-Remote cannot open."));
    EXPECT_LT(Find("message Wii-Remote cannot open."), Find("hid stop"));
    EXPECT_LT(Find("hid stop"), Find("hid close"));
    EXPECT_EQ(FakeHidCloses, 1);
    EXPECT_FALSE(FakeHidMisuseSeen());
}

TEST_F(MainFlow, AStreamingRemoteIsGreetedAndWatchedUntilHome) {
    PutClip();
    FakeClockHoldUntil([] { return AccelX != 0; });  // the probe's data are in before its wait ends
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 10);
    FakeHidQueueReport({0x31, 0x00, 0x80, 0x82, 0x82, 0x9C}, 150);
    std::string output;
    EXPECT_EQ(Run(&output), 0);
    EXPECT_EQ(output, ExpectedBanner);
    EXPECT_TRUE(FakeMessages.empty());
    EXPECT_EQ(FakeClipPlayerStarts, 1);
    EXPECT_LT(Find("hid write 12 00 31"), Find("hid report 31 00 00"));
    EXPECT_LT(Find("hid report 31 00 00"), Find("player start"));
    EXPECT_LT(Find("player start"), Find("hid write 11 10"));
    EXPECT_LT(Find("hid write 11 10"), Find("keys begin"));
    EXPECT_LT(Find("keys begin"), Find("hid report 31 00 80"));
    EXPECT_LT(Find("keys end"), Find("hid close"));
    EXPECT_EQ(JournalCount("hid report"), 2);
    EXPECT_FALSE(FakeHidMisuseSeen());
}

TEST_F(MainFlow, EscOnTheConsoleEndsTheRunWithStatusZero) {
    PutClip();
    FakeHidQueueReport({0x31, 0x00, 0x00, 0x82, 0x82, 0x9C}, 10);
    FakeHidQueueNoReport(27);
    std::string output;
    EXPECT_EQ(Run(&output), 0);
    EXPECT_EQ(FakeKeysTaken, 1);
    EXPECT_EQ(FakeHidCloses, 1);
}

}  // namespace
