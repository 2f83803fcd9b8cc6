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

#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cpu_wait.h"
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
                               const std::vector<std::string>& environment,
                               const std::vector<std::string>& arguments = {}) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    for (const std::string& setting : environment) putenv(const_cast<char*>(setting.c_str()));
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
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

double CpuWaitSeconds(const std::string& task) { return static_cast<double>(CpuWaitNs(task)) / 1e9; }

// Waits for the child; its exit status, or -1 (and the child killed) if it outlives the time.
// *took: the seconds it took, less those that the machine kept the child's main thread, or this
// thread seeing it end, waiting for a CPU: no program controls those.
int WaitExit(pid_t child, double seconds, double* took = nullptr) {
    const std::string self = "/proc/thread-self", its = "/proc/" + std::to_string(child);
    const double machineBefore = CpuWaitSeconds(its) + CpuWaitSeconds(self);
    Clock::time_point start = Clock::now();
    int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    EXPECT_GE(ended, 0);
    pollfd exit{ended, POLLIN, 0};
    bool over = poll(&exit, 1, static_cast<int>(seconds * 1000)) == 1;
    close(ended);
    // Ended, not yet reaped: its main thread's schedstat is still there.
    if (took) *took = SecondsSince(start) - (CpuWaitSeconds(its) + CpuWaitSeconds(self) - machineBefore);
    int status = 0;
    if (!over) kill(child, SIGKILL);
    waitpid(child, &status, 0);
    if (!over) return -1;
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
    double seconds;  // as WaitExit's took
};

// Runs the program in a folder of its own, with standard input /dev/null and its output
// through pipes.
RunResult RunDetached(const char* program, bool withClip, const std::vector<std::string>& environment) {
    std::string folder = MakeFolder(withClip);
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
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
    run.status = WaitExit(child, 10, &run.seconds);  // what it writes fits in the pipes
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

// Also when the alarm cannot sound, which it says once before the banner, without waiting.
TEST(EndToEnd, SimulatedRemoteGreetsWithTheBannerAndQuitsOnEsc) {
    struct Sound {
        const char* why;
        bool wav;
        std::vector<std::string> output;
        std::string before;  // what comes before the banner
    };
    const std::string notice = "Alert sound cannot be played.\n";
    const std::vector<std::string> dummy = {"SDL_AUDIODRIVER=dummy"};
    for (const Sound& sound :
         {Sound{"plays", true, dummy, ""}, Sound{"not a WAV", false, dummy, notice},
          Sound{"no output opens", true, {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=/nonexistent/out.raw"}, notice}}) {
        SCOPED_TRACE(sound.why);
        std::string folder = MakeFolder(true);
        if (!sound.wav) {
            std::FILE* clip = std::fopen((folder + "/others_05.wav").c_str(), "wb");
            ASSERT_NE(clip, nullptr);
            std::fputs("not a WAV", clip);
            std::fclose(clip);
        }
        int master;
        pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
        if (child == 0) StartProgram(SENTRY_SIM_PROGRAM, folder, sound.output);
        termios before{};
        ASSERT_EQ(tcgetattr(master, &before), 0);
        std::string screen;
        ASSERT_TRUE(ReadUntil(master, &screen, "Quit\r\n\r\n", 5000)) << screen;
        EXPECT_EQ(WithoutCarriageReturns(screen), sound.before + ExpectedBanner);

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
        EXPECT_EQ(WithoutCarriageReturns(screen), sound.before + ExpectedBanner)
            << "nothing after the banner, no echo";
        close(master);
        RemoveFolder(folder);
    }
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

// The environment that points a client at the test's private sound server (PulseAudio with
// a null sink "sentry_sink"), which CTest starts before this test.
std::vector<std::string> SoundServerSettings() {
    std::vector<std::string> settings;
    std::FILE* file = std::fopen(SENTRY_SOUND_DIR "/env", "r");
    if (file == nullptr) return settings;
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::string setting = line;
        if (!setting.empty() && setting.back() == '\n') setting.pop_back();
        if (setting.find('=') != std::string::npos) settings.push_back(setting);
    }
    std::fclose(file);
    return settings;
}

// Mono 16-bit samples, from a raw file or from a WAV's data (44 bytes in, as the alert clip's).
std::vector<int16_t> ReadSamples(const std::string& path, long skipBytes) {
    std::vector<int16_t> samples;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return samples;
    std::fseek(file, skipBytes, SEEK_SET);
    int16_t sample;
    while (std::fread(&sample, sizeof sample, 1, file) == 1) samples.push_back(sample);
    std::fclose(file);
    return samples;
}

// Stretches of sound parted by a quarter second or more of silence: [first, last] loud frame.
constexpr int FramesPerSecond = 22050;  // the alert clip's rate, and the recording's
std::vector<std::pair<long, long>> Bursts(const std::vector<int16_t>& samples) {
    std::vector<std::pair<long, long>> bursts;
    for (long frame = 0; frame < long(samples.size()); ++frame) {
        if (samples[frame] <= 1000 && samples[frame] >= -1000) continue;
        if (bursts.empty() || frame - bursts.back().second > FramesPerSecond / 4)
            bursts.push_back({frame, frame});
        bursts.back().second = frame;
    }
    return bursts;
}

// How alike the recording is to the clip, from `at` on: the best normalised correlation within
// a few frames either way.
double Likeness(const std::vector<int16_t>& recording, long at, const std::vector<int16_t>& clip) {
    double best = 0;
    for (long shift = -8; shift <= 8; ++shift) {
        double both = 0, recorded = 0, played = 0;
        for (long i = 0; i < long(clip.size()); ++i) {
            const long r = at + shift + i;
            const double x = r >= 0 && r < long(recording.size()) ? recording[r] : 0;
            both += x * clip[i];
            recorded += x * x;
            played += double(clip[i]) * clip[i];
        }
        if (recorded > 0) best = std::max(best, both / std::sqrt(recorded * played));
    }
    return best;
}

// What pactl says of the test's server.
std::string Pactl(const std::vector<std::string>& server, const std::string& arguments) {
    std::string command = "env";
    for (const std::string& setting : server) command += " '" + setting + "'";
    std::string said;
    std::FILE* pactl = popen((command + " pactl " + arguments).c_str(), "r");
    if (pactl == nullptr) return said;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pactl)) > 0) said.append(chunk, got);
    pclose(pactl);
    return said;
}

// Whether pactl comes to say `text` (or no longer says it) within 10 s.
bool PactlComesTo(const std::vector<std::string>& server, const std::string& arguments, const std::string& text,
                  bool says) {
    Clock::time_point start = Clock::now();
    while ((Pactl(server, arguments).find(text) != std::string::npos) != says) {
        if (SecondsSince(start) > 10) return false;
        usleep(100000);
    }
    return true;
}

// The server's CPU time so far (utime + stime in its /proc/PID/stat), in milliseconds.
long ServerCpuMs() {
    std::ifstream servers(SENTRY_SOUND_DIR "/servers");
    pid_t server = 0;
    servers >> server;
    std::ifstream stat("/proc/" + std::to_string(server) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string field;
    for (int skipped = 3; skipped <= 13; ++skipped) fields >> field;  // state to cmajflt
    long ticks[2] = {0, 0};
    fields >> ticks[0] >> ticks[1];
    return (ticks[0] + ticks[1]) * 1000 / sysconf(_SC_CLK_TCK);
}

// The null sink's monitor recorded into a file, from the moment its first samples are in: an
// idle PulseAudio null sink renders seconds ahead, and a new stream would wait that out, but
// with the recorder's samples in, the sink runs at the recorder's pace.
struct Recorder {
    pid_t pid;
    std::string path;
    Recorder(const std::vector<std::string>& server, const std::string& into) : pid(fork()), path(into) {
        if (pid == 0) {
            int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int nothing = open("/dev/null", O_WRONLY);
            dup2(file, 1);
            dup2(nothing, 2);
            for (const std::string& setting : server) putenv(const_cast<char*>(setting.c_str()));
            execlp("parec", "parec", "--raw", "--format=s16le", "--rate=22050", "--channels=1",
                   "--latency-msec=10", "-d", "sentry_sink.monitor", static_cast<char*>(nullptr));
            _exit(127);
        }
        struct stat recorded {};
        Clock::time_point start = Clock::now();
        while ((stat(path.c_str(), &recorded) != 0 || recorded.st_size == 0) && SecondsSince(start) < 10)
            usleep(10000);
    }
    ~Recorder() { End(); }  // however the test ends
    void End() {
        if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    }
    bool Started() const { return !ReadSamples(path, 0).empty(); }
};

// Reads the terminal, while the recording grows, until it holds `count` bursts and a quarter
// second of silence after the last, or the time is up; the recording.
std::vector<int16_t> RecordBursts(int master, std::string* screen, const std::string& path, size_t count,
                                  double seconds) {
    std::vector<int16_t> recording;
    std::vector<std::pair<long, long>> bursts;
    Clock::time_point start = Clock::now();
    do {
        ReadFor(master, screen, 100);
        recording = ReadSamples(path, 0);
        bursts = Bursts(recording);
    } while ((bursts.size() < count || long(recording.size()) - bursts.back().second < FramesPerSecond / 4) &&
             SecondsSince(start) < seconds);
    return recording;
}

// Through a real desktop sound server: the null sink's monitor is recorded while the
// simulated remote falls, and the mixer shows whose sound it is. Between two falls the
// program's stream sleeps: the sink suspends, and the server idles as if it were not there.
TEST(EndToEnd, SimulatedFallsSoundTheAlarmThroughASoundServer) {
    const std::vector<std::string> server = SoundServerSettings();
    ASSERT_FALSE(server.empty()) << "no sound server at " SENTRY_SOUND_DIR " (tools/sound_server.sh starts one)";
    std::string folder = MakeFolder(true);
    Recorder recorder(server, folder + "/monitor.raw");
    ASSERT_TRUE(recorder.Started()) << "the recorder got nothing from the sink";

    std::vector<std::string> environment = server;
    environment.push_back("QUILLBRAMBLE_SIM_REMOTE=calm");  // falls 12 s apart
    int master;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) StartProgram(SENTRY_SIM_PROGRAM, folder, environment);
    std::string screen;
    ASSERT_TRUE(ReadUntil(master, &screen, "Quit\r\n\r\n", 5000)) << screen;
    EXPECT_EQ(WithoutCarriageReturns(screen), ExpectedBanner) << "no notice when the clip can play";
    const std::string mixer = Pactl(server, "list sink-inputs");
    EXPECT_NE(mixer.find("application.name = \"Quillbramble-sentry\""), std::string::npos) << mixer;
    EXPECT_NE(mixer.find("media.name = \"Fall alarm\""), std::string::npos) << mixer;

    // The ready sign, then the first fall (2.5 s into the stream) heard whole.
    const std::vector<int16_t> recording = RecordBursts(master, &screen, recorder.path, 2, 15);
    // The quiet stretch, without the recorder, which would keep the sink up.
    recorder.End();
    EXPECT_TRUE(PactlComesTo(server, "list sink-inputs", "Corked: no", false)) << "the stream still runs";
    EXPECT_TRUE(PactlComesTo(server, "list sinks short", "SUSPENDED", true)) << "the sink never suspended";
    const long cpuMs = ServerCpuMs();
    sleep(5);
    EXPECT_LE(ServerCpuMs() - cpuMs, 20) << "the server's CPU over 5 s";
    EXPECT_EQ(Pactl(server, "list sink-inputs").find("Corked: no"), std::string::npos);
    EXPECT_NE(Pactl(server, "list sinks short").find("SUSPENDED"), std::string::npos);
    // The next fall, 12 s after the first, wakes the output.
    Recorder woken(server, folder + "/woken.raw");
    ASSERT_TRUE(woken.Started()) << "the recorder got nothing from the sink";
    const std::vector<int16_t> next = RecordBursts(master, &screen, woken.path, 1, 10);
    ASSERT_EQ(write(master, "\033", 1), 1);
    EXPECT_EQ(WaitExit(child, 5), 0);
    close(master);

    const std::vector<int16_t> clip = ReadSamples(SENTRY_CLIP, 44);
    const std::vector<std::pair<long, long>> clipBursts = Bursts(clip);
    ASSERT_EQ(clipBursts.size(), 1u);
    const std::vector<std::pair<long, long>> bursts = Bursts(recording);
    ASSERT_EQ(bursts.size(), 2u) << "the ready sign and one fall";
    ASSERT_EQ(Bursts(next).size(), 1u) << "the next fall";
    EXPECT_NEAR(double(bursts[1].first - bursts[0].first) / FramesPerSecond, 2.4, 0.4);
    for (const auto& [samples, burst] : {std::make_pair(&recording, bursts[0]), std::make_pair(&recording, bursts[1]),
                                         std::make_pair(&next, Bursts(next)[0])}) {
        EXPECT_NEAR(burst.second - burst.first, clipBursts[0].second - clipBursts[0].first, FramesPerSecond / 100)
            << "the whole clip, once";
        EXPECT_GT(Likeness(*samples, burst.first - clipBursts[0].first, clip), 0.9) << "it is the clip";
    }
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

TEST(EndToEnd, WornTheSimulatedRemoteReplayingAFallSoundsOnceAfterTheReadySign) {
    std::string folder = MakeFolder(true), sound = folder + "/played.raw", screen;
    std::ofstream fall(folder + "/fall.acc", std::ios::binary);
    // Standing 3 s, 0.3 s without support, an impact, then lying still: 26 counts a g about 128.
    for (auto [x, y, z, reports] : {std::array{128, 128, 154, 300}, {128, 128, 136, 30}, {193, 128, 154, 5}, {154, 128, 128, 400}})
        for (int report = 0; report < reports; ++report) fall << char(x) << char(y) << char(z);
    fall.close();
    int master;
    pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0)
        StartProgram(SENTRY_SIM_PROGRAM, folder, {"QUILLBRAMBLE_SIM_REMOTE=replay:fall.acc", "SDL_AUDIODRIVER=disk",
                     "SDL_DISKAUDIOFILE=" + sound}, {"--worn"});
    RecordBursts(master, &screen, sound, 2, 60);
    // A second alarm would come before the recording ends, a second later, or after it.
    EXPECT_EQ(Bursts(RecordBursts(master, &screen, sound, 3, 3)).size(), 2u) << "the ready sign, and one alarm";
    ASSERT_EQ(write(master, "\033", 1), 1);
    EXPECT_EQ(WaitExit(child, 10), 0);
    close(master);
    RemoveFolder(folder);
}

}  // namespace
