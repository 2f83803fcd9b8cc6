// The built programs run whole: the simulated remote's build on a real pseudo-terminal and
// through pipes, and the real build on a machine without a remote.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "expected_banner.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder of its own for each run, holding the clip unless told otherwise.
std::string MakeFolder(bool withClip) {
    char pattern[] = "/tmp/sentry-e2e-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    std::string folder = pattern;
    if (withClip) {
        std::string copy = "cp '" SENTRY_CLIP "' '" + folder + "/others_05.wav'";
        EXPECT_EQ(std::system(copy.c_str()), 0);
    }
    return folder;
}

void RemoveFolder(const std::string& folder) {
    std::string remove = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(remove.c_str()), 0);
}

// Runs in the child: into the folder, with the environment given, then the program.
[[noreturn]] void StartProgram(const char* program, const std::string& folder,
                               const std::vector<std::string>& environment) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
}

// Appends what the descriptor has to say within the time given; false at end of output.
bool ReadFor(int fd, std::string* into, int milliseconds) {
    pollfd watch{fd, POLLIN, 0};
    Clock::time_point start = Clock::now();
    for (;;) {
        int left = milliseconds - static_cast<int>(SecondsSince(start) * 1000);
        if (left <= 0) return true;
        if (poll(&watch, 1, left) <= 0) return true;
        char chunk[4096];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) return false;
        into->append(chunk, static_cast<size_t>(got));
    }
}

// Reads until `text` has appeared or the time is up.
bool ReadUntil(int fd, std::string* into, const std::string& text, int milliseconds) {
    Clock::time_point start = Clock::now();
    while (into->find(text) == std::string::npos) {
        if (SecondsSince(start) * 1000 > milliseconds) return false;
        if (!ReadFor(fd, into, 50) && into->find(text) == std::string::npos) return false;
    }
    return true;
}

// Waits for the child; its exit status, or -1 (and the child killed) if it outlives the time.
int WaitExit(pid_t child, double seconds, double* took = nullptr) {
    Clock::time_point start = Clock::now();
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (SecondsSince(start) > seconds) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    if (took) *took = SecondsSince(start);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string WithoutCarriageReturns(std::string text) {
    std::string plain;
    for (char c : text)
        if (c != '\r') plain += c;
    return plain;
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
    double seconds;
};

// Runs the program in a folder of its own, with standard input /dev/null and its output
// through pipes.
RunResult RunDetached(const char* program, bool withClip, const std::vector<std::string>& environment) {
    std::string folder = MakeFolder(withClip);
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    Clock::time_point start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        StartProgram(program, folder, environment);
    }
    close(out[1]);
    close(err[1]);
    RunResult run{};
    run.status = WaitExit(child, 10);  // what it writes fits in the pipes
    run.seconds = SecondsSince(start);
    while (ReadFor(out[0], &run.out, 100)) {
    }
    while (ReadFor(err[0], &run.err, 100)) {
    }
    close(out[0]);
    close(err[0]);
    RemoveFolder(folder);
    return run;
}

// The signals a thread blocks, from its folder under /proc/<pid>/task: bit n-1 for signal n.
uint64_t BlockedSignals(const std::string& thread) {
    std::ifstream status(thread + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    ADD_FAILURE() << "no SigBlk in " << thread;
    return 0;
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(EndToEnd, SimulatedRemoteGreetsWithTheBannerAndQuitsOnEsc) {
    std::string folder = MakeFolder(true);
    int master;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) StartProgram(SENTRY_SIM_PROGRAM, folder, {"SDL_AUDIODRIVER=dummy"});
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    std::string screen;
    ASSERT_TRUE(ReadUntil(master, &screen, "Quit\r\n\r\n", 5000)) << screen;
    EXPECT_EQ(WithoutCarriageReturns(screen), ExpectedBanner);

    termios during{};
    Clock::time_point start = Clock::now();
    do {  // key mode follows the banner within a few milliseconds
        ASSERT_EQ(tcgetattr(master, &during), 0);
    } while ((during.c_lflag & ICANON) && SecondsSince(start) < 2);
    EXPECT_FALSE(during.c_lflag & (ICANON | ECHO));
    EXPECT_TRUE(during.c_lflag & ISIG);

    ASSERT_EQ(write(master, "x\033", 2), 2);
    double took = 0;
    EXPECT_EQ(WaitExit(child, 5, &took), 0);
    EXPECT_LT(took, 1.0);
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_TRUE(SameSettings(before, after));
    ReadFor(master, &screen, 100);
    EXPECT_EQ(WithoutCarriageReturns(screen), ExpectedBanner) << "nothing after the banner, no echo";
    close(master);
    RemoveFolder(folder);
}

// Standard output a pipe that is read, a pipe whose reader has gone, or closed: the banner
// reaches a reader before the loop begins, and the run goes on until ESC in every case.
TEST(EndToEnd, BannerReachesAPipeBeforeTheLoopAndNoOutputEndsTheRunBeforeEsc) {
    enum Output { Read, ReaderGone, Closed };
    for (Output output : {Read, ReaderGone, Closed}) {
        SCOPED_TRACE(output);
        std::string folder = MakeFolder(true);
        std::string sound = folder + "/played.raw";
        int in[2], out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        if (output == ReaderGone) close(out[0]);
        // Unread output: ESC waits in the pipe, and is taken only once the loop runs.
        if (output != Read) {
            ASSERT_EQ(write(in[1], "\033", 1), 1);
        }
        pid_t child = fork();
        if (child == 0) {
            dup2(in[0], 0);
            if (output == Closed) close(1);
            if (output != Closed) dup2(out[1], 1);
            signal(SIGPIPE, SIG_DFL);  // as a shell starts it
            // Closed, the program's first file of its own (here the sound output) must not take its place.
            StartProgram(SENTRY_SIM_PROGRAM, folder,
                         {output == Closed ? "SDL_AUDIODRIVER=disk" : "SDL_AUDIODRIVER=dummy", "SDL_DISKAUDIOFILE=" + sound});
        }
        close(in[0]);
        close(out[1]);
        if (output == Read) {
            std::string banner;
            EXPECT_TRUE(ReadUntil(out[0], &banner, ExpectedBanner, 5000)) << banner;
            EXPECT_EQ(banner, ExpectedBanner);
            ASSERT_EQ(write(in[1], "\033", 1), 1);
        }
        EXPECT_EQ(WaitExit(child, 5), 0);
        if (output != ReaderGone) close(out[0]);
        close(in[1]);
        if (output == Closed) {
            std::ifstream file(sound, std::ios::binary);
            std::string played((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            EXPECT_GT(played.size(), 0u) << "the sound output was written";
            EXPECT_EQ(played.find("Quillbramble"), std::string::npos) << "the banner went into the sound output";
        }
        RemoveFolder(folder);
    }
}

TEST(EndToEnd, SimulatedFallsSoundTheAlarm) {
    std::string folder = MakeFolder(true);
    std::string sound = folder + "/played.raw";
    int master;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0)
        StartProgram(SENTRY_SIM_PROGRAM, folder, {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + sound});
    std::string screen;
    ASSERT_TRUE(ReadUntil(master, &screen, "Quit", 5000)) << screen;
    ReadFor(master, &screen, 4000);  // the first fall comes 2.5 s into the stream
    ASSERT_EQ(write(master, "\033", 1), 1);
    EXPECT_EQ(WaitExit(child, 5), 0);
    close(master);

    // The clip is mono 16-bit at 22050 Hz, and the output opened in its format: count the
    // stretches of sound parted by silence.
    constexpr int FramesPerSecond = 22050;
    std::FILE* file = std::fopen(sound.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<double> burstStarts;
    int16_t sample;
    long frame = 0, lastLoud = -FramesPerSecond;
    while (std::fread(&sample, sizeof sample, 1, file) == 1) {
        if (sample > 1000 || sample < -1000) {
            if (frame - lastLoud > FramesPerSecond / 4) burstStarts.push_back(double(frame) / FramesPerSecond);
            lastLoud = frame;
        }
        ++frame;
    }
    std::fclose(file);
    ASSERT_EQ(burstStarts.size(), 2u) << "the ready sign and one fall";
    EXPECT_LT(burstStarts[0], 0.5);
    EXPECT_NEAR(burstStarts[1] - burstStarts[0], 2.4, 0.4);
    RemoveFolder(folder);
}

TEST(EndToEnd, WithoutTheClipItSaysSoWithStatusOne) {
    RunResult run = RunDetached(SENTRY_SIM_PROGRAM, false, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Wav files are not found.\n");
    EXPECT_EQ(run.out, "");
}

TEST(EndToEnd, WithoutARemoteItSaysSoWithStatusOne) {
    RunResult run = RunDetached(SENTRY_SIM_PROGRAM, true, {"QUILLBRAMBLE_SIM_REMOTE=absent", "SDL_AUDIODRIVER=dummy"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Wii-Remote not found.\n");
    EXPECT_EQ(run.out, "");
}

TEST(EndToEnd, RealBuildFindsNoRemoteOnAMachineWithoutOne) {
    glob_t nodes;
    bool anyHid = glob("/dev/hidraw*", 0, nullptr, &nodes) == 0;
    globfree(&nodes);
    if (anyHid) GTEST_SKIP() << "this machine has HID devices";
    RunResult run = RunDetached(SENTRY_PROGRAM, true, {"SDL_AUDIODRIVER=dummy"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Wii-Remote not found.\n");
}

TEST(EndToEnd, ASilentRemoteFailsQuicklyWhenNobodyIsThere) {
    RunResult run = RunDetached(SENTRY_SIM_PROGRAM, true, {"QUILLBRAMBLE_SIM_REMOTE=silent", "SDL_AUDIODRIVER=dummy"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Wii-Remote cannot open.\n");
    EXPECT_EQ(run.out, "");
    EXPECT_LT(run.seconds, 1.0);
}

TEST(EndToEnd, ARemoteWithoutAccelerometerDataFailsTheProbe) {
    RunResult run = RunDetached(SENTRY_SIM_PROGRAM, true,
                          {"QUILLBRAMBLE_SIM_REMOTE=buttons-only", "SDL_AUDIODRIVER=dummy"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Wii-Remote cannot open.\n");
    EXPECT_EQ(run.out, "");
}

TEST(EndToEnd, AtATerminalTheMessageWaitsForEnter) {
    std::string folder = MakeFolder(true);
    int master;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) StartProgram(SENTRY_SIM_PROGRAM, folder, {"QUILLBRAMBLE_SIM_REMOTE=silent", "SDL_AUDIODRIVER=dummy"});
    std::string screen;
    ASSERT_TRUE(ReadUntil(master, &screen, "Enter", 5000)) << screen;
    EXPECT_EQ(screen.rfind("Wii-Remote cannot open.\r\n", 0), 0u) << screen;

    // Signals from outside are taken by the main thread alone: every other thread (the probe's
    // reader, stuck in its read until the message is gone, and the sound output's) blocks them.
    uint64_t fromOutside = 0;
    for (int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGTERM, SIGCONT, SIGTSTP})
        fromOutside |= uint64_t(1) << (signalNumber - 1);
    std::string tasks = "/proc/" + std::to_string(child) + "/task/";
    EXPECT_EQ(BlockedSignals(tasks + std::to_string(child)) & fromOutside, 0u) << "the main thread";
    glob_t threads;
    ASSERT_EQ(glob((tasks + "*").c_str(), 0, nullptr, &threads), 0);
    size_t others = 0;
    for (size_t i = 0; i < threads.gl_pathc; ++i) {
        std::string thread = threads.gl_pathv[i];
        if (thread == tasks + std::to_string(child)) continue;
        ++others;
        EXPECT_EQ(BlockedSignals(thread) & fromOutside, fromOutside) << thread;
    }
    globfree(&threads);
    EXPECT_GE(others, 1u) << "no reader";
    ReadFor(master, &screen, 500);
    int status;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "it went on before the message was acknowledged";
    ASSERT_EQ(write(master, "\r", 1), 1);
    EXPECT_EQ(WaitExit(child, 5), 0);
    close(master);
    RemoveFolder(folder);
}

}  // namespace
