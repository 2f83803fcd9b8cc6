// The termios keys layer on pseudo-terminals: a child takes keys on the slave side and reports each
// code through a pipe, while the test types into the master and reads the slave's settings there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "console_keys.h"
#include "cpu_wait.h"

namespace {
using Codes = std::vector<int32_t>;
constexpr int32_t BeganEvent = -1000;       // the child is in key mode
constexpr int32_t EndedEvent = -1001;       // the child has called EndConsoleKeys
constexpr int32_t OwnHandlerEvent = -1002;  // the child's own SIGTERM handler ran
constexpr int32_t LeftAloneEvent = -1003;   // a background job left keys typed at the shell unread
constexpr int32_t StoppedEvent = -1100;     // minus the signal that stopped the job
constexpr int32_t NoEvent = -1999;          // nothing came in time
constexpr int32_t QuitKey = 'q';
constexpr int EventWaitMs = 5000;           // generous: the machine may be loaded
int EventFd = -1;  // in each child: where it reports its events

int32_t Report(int32_t event) { return write(EventFd, &event, sizeof event) < 0 ? NoEvent : event; }

int64_t CpuWaitMs() { return static_cast<int64_t>(CpuWaitNs("/proc/thread-self") / 1000000); }  // this thread's

// Child: how many of 300 polls, 1 ms apart, said a key was waiting; their wall ms, less the
// wait for a CPU; and their CPU us.
void ReportPolling() {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    int64_t cpuWaitStart = CpuWaitMs();
    int32_t waiting = 0;
    for (int i = 0; i < 300; ++i, usleep(1000)) waiting += KeyPressWaiting();
    Report(waiting);
    Report(static_cast<int32_t>((std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1) -
                                (CpuWaitMs() - cpuWaitStart)));
    Report(static_cast<int32_t>((std::clock() - cpuStart) * 1000000 / CLOCKS_PER_SEC));
}

struct Child { pid_t pid; int master; int events; };  // master: the terminal's side, if on one

// Runs body in a child: on a new terminal with these settings, or else on the test's standard input.
Child Start(void (*body)(), const termios* settings) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    Child child = {-1, -1, ends[0]};
    child.pid = settings != nullptr ? forkpty(&child.master, nullptr, settings, nullptr) : fork();
    if (child.pid == 0) {
        EventFd = ends[1];
        alarm(20);  // a hung child dies rather than hanging the test
        body();
        _exit(0);
    }
    close(ends[1]);
    return child;
}

Codes NextEvents(const Child& child, size_t count) {
    Codes events(count, NoEvent);
    pollfd ready = {child.events, POLLIN, 0};
    for (int32_t& event : events)
        if (poll(&ready, 1, EventWaitMs) != 1 || read(child.events, &event, sizeof event) != sizeof event) break;
    return events;
}
int32_t NextEvent(const Child& child) { return NextEvents(child, 1)[0]; }
void Type(const Child& child, const std::string& bytes) {
    ASSERT_EQ(write(child.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string Describe(const termios& t) {  // flags (the speed is in cflag) and control characters
    std::string text = "flags " + std::to_string(t.c_iflag) + " " + std::to_string(t.c_oflag) + " " +
                       std::to_string(t.c_cflag) + " " + std::to_string(t.c_lflag) + ", cc";
    for (cc_t c : t.c_cc) text += " " + std::to_string(c);
    return text;
}
std::string SettingsNow(const Child& child) {
    termios now = {};
    EXPECT_EQ(tcgetattr(child.master, &now), 0);  // on Linux the master reports the slave's settings
    return Describe(now);
}
// The child's wait status once it has ended; on a terminal, once its settings are back as before.
int Finish(const Child& child, const termios* before) {
    int status = -1;
    waitpid(child.pid, &status, 0);  // a hung child ends by its alarm
    close(child.events);
    if (before != nullptr) {
        EXPECT_EQ(SettingsNow(child), Describe(*before)) << "settings not put back exactly";
        close(child.master);
    }
    return status;
}

// Settings no terminal starts with, so that a layer which "restores" to defaults is caught.
termios UnusualSettings() {
    termios t = {};
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD;
    t.c_lflag = ISIG | ICANON | ECHO | ECHONL | IEXTEN;
    t.c_cc[VINTR] = 3;   // Ctrl-C
    t.c_cc[VQUIT] = 28;  // Ctrl-backslash
    t.c_cc[VSUSP] = 26;  // Ctrl-Z
    t.c_cc[VMIN] = 7;
    t.c_cc[VTIME] = 3;
    cfsetspeed(&t, B19200);
    return t;
}

// The settings found with only canonical input and echo off (output, Ctrl-C as before), VMIN 1, VTIME 0.
termios KeyMode(const termios& before) {
    termios keys = before;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    return keys;
}
void ExpectKeyMode(const Child& child, const termios& before) {  // waited for: it may be coming back
    for (int i = 0; i < 1000 && SettingsNow(child) != Describe(KeyMode(before)); ++i) usleep(5000);
    EXPECT_EQ(SettingsNow(child), Describe(KeyMode(before))) << "not key mode";
}

void ExpectQuickPollingWithNoKey(const Child& child) {
    Codes polling = NextEvents(child, 3);
    EXPECT_EQ(polling[0], 0) << "a key waiting where none was typed";
    EXPECT_TRUE(polling[1] >= 0 && polling[1] < 3000) << "polls block: 300 took " << polling[1] << " ms";
    EXPECT_TRUE(polling[2] >= 0 && polling[2] < 150000) << "polls spin: 300 cost " << polling[2] << " us of CPU";
}

// Child: with SIGINT ignored and a SIGTERM handler of its own, takes keys, then raises SIGTERM.
void KeysOnTerminal() {
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, [](int) { Report(OwnHandlerEvent); });
    BeginConsoleKeys();
    Report(BeganEvent);
    ReportPolling();
    for (bool told = false;; usleep(2000)) {
        int typed = 0;  // bytes on the terminal for whoever reads it
        bool shellHasKeys = tcgetpgrp(STDIN_FILENO) != getpgrp() && ioctl(STDIN_FILENO, FIONREAD, &typed) == 0 && typed > 0;
        if (KeyPressWaiting() == 1) {
            if (Report(TakeKeyCode()) == QuitKey) break;
        } else if (shellHasKeys && !told) {
            told = Report(LeftAloneEvent) == LeftAloneEvent;
        }
    }
    EndConsoleKeys();
    Report(EndedEvent);
    raise(SIGTERM);
}

void ExpectBegun(const Child& child, const termios& before) {  // key mode on, no key waiting when idle
    ASSERT_EQ(NextEvent(child), BeganEvent);
    ExpectKeyMode(child, before);
    ExpectQuickPollingWithNoKey(child);
}
void ExpectCleanEnd(const Child& child, const termios& before) {  // the handlers and settings back after End
    Type(child, "q");
    EXPECT_EQ(NextEvents(child, 3), (Codes{QuitKey, EndedEvent, OwnHandlerEvent}));
    EXPECT_EQ(Finish(child, &before), 0);
}

TEST(ConsoleKeysOnTerminal, EveryKeyIsOneCodeAndEndPutsSettingsBackExactly) {
    termios before = UnusualSettings();
    Child child = Start(KeysOnTerminal, &before);
    ExpectBegun(child, before);
    const int32_t Seq = SequenceKeyCode;
    // Each step is typed once the one before has been taken: a stray code shows in the next step.
    const std::pair<std::string, Codes> steps[] = {
        {"a", {'a'}}, {"\x1b", {EscKeyCode}}, {"b\x1b", {'b', EscKeyCode}}, {"xyz\r", {'x', 'y', 'z', '\n'}},
        {"\x1b[A", {Seq}}, {"\x1bOP", {Seq}}, {"\x1b[15~", {Seq}},  // up arrow (CSI), F1 (SS3), F5
        {"\x1b[1;5C", {Seq}}, {"\x1bx", {Seq}},                      // Ctrl-Right, Alt-x
        {"\x1b\x1b[B", {Seq}},                                       // Alt-Down as some terminals send it
        {"\x1b[Dc", {Seq, 'c'}}, {"\x1b[A\x1b", {Seq, EscKeyCode}},  // a sequence ends at its final byte
        {"\3j", {'j'}},   // SIGINT was ignored before Begin and stays so
        {"\32k", {'k'}},  // a session leader's group is orphaned: Ctrl-Z does not stop it
    };
    for (const auto& [bytes, codes] : steps) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        Type(child, bytes);
        EXPECT_EQ(NextEvents(child, codes.size()), codes);
    }
    ExpectCleanEnd(child, before);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;  // a sanitizer reports a fault and exits
#else
constexpr bool Sanitized = false;
#endif

// Child: in key mode, sleeps until a key comes, then reads memory that may not be read: a
// fault that neither the compiler nor a sanitizer catches first.
void KeysUntilAFault() {
    rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // the default action of some signals dumps core
    BeginConsoleKeys();
    Report(BeganEvent);
    pollfd key = {STDIN_FILENO, POLLIN, 0};
    poll(&key, 1, -1);
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    Report(*static_cast<volatile int32_t*>(page));
}

// Waits until the child's main thread sleeps. ThreadSanitizer defers a signal that comes
// while a forked child runs, and may then lose it; one that comes during a sleep is not deferred.
void AwaitSleep(const Child& child) {
    std::string stat = "/proc/" + std::to_string(child.pid) + "/stat";
    for (;;) {
        char text[512] = {};
        int fd = open(stat.c_str(), O_RDONLY);
        ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        const char* state = got > 0 ? std::strrchr(text, ')') : nullptr;  // the state follows the name
        if (state == nullptr || std::strncmp(state, ") S", 3) == 0) return;
        usleep(1000);
    }
}

TEST(ConsoleKeysOnTerminal, EndingSignalsPutSettingsBackAndStillEndTheProcess) {
    termios before = UnusualSettings();
    for (int signalNumber : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGSEGV}) {
        SCOPED_TRACE(signalNumber);
        Child child = Start(KeysUntilAFault, &before);
        ASSERT_EQ(NextEvent(child), BeganEvent);
        ExpectKeyMode(child, before);
        AwaitSleep(child);
        if (signalNumber == SIGINT) Type(child, "\3");      // Ctrl-C and Ctrl-backslash, from the terminal
        if (signalNumber == SIGQUIT) Type(child, "\34");
        if (signalNumber == SIGSEGV) Type(child, "f");       // the fault itself
        if (signalNumber == SIGTERM || signalNumber == SIGHUP || signalNumber == SIGUSR1) kill(child.pid, signalNumber);
        int status = Finish(child, &before);
        bool reported = Sanitized && signalNumber == SIGSEGV && WIFEXITED(status) && WEXITSTATUS(status) != 0;
        EXPECT_TRUE(reported || (WIFSIGNALED(status) && WTERMSIG(status) == signalNumber)) << "status " << status;
    }
}

// The job is this test program started afresh: ThreadSanitizer may lose a signal that reaches
// a forked child between its blocking calls, never one in a program of its own.
constexpr const char* KeysJobOption = "--keys-job";  // then the events' descriptor

int ShellCommands = -1;  // in KeysAsStoppableJob's shell: the test's commands, one byte each
constexpr char Foreground = 'f';  // fg: the terminal to the job, and SIGCONT if it is stopped
constexpr char Background = 'b';  // bg: SIGCONT, the shell keeping the terminal

// Child: a job-control shell in miniature, with the keys in a job of their own (the kernel does
// not stop the orphaned group of a session leader). As a shell does, it takes the terminal back
// when the job stops, reports the stop, and takes commands until fg.
void KeysAsStoppableJob() {
    pid_t job = fork();
    if (job == 0) {
        std::string events = std::to_string(EventFd);
        execl("/proc/self/exe", "test_console_keys", KeysJobOption, events.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(job, job);
    signal(SIGTTOU, SIG_IGN);  // so that the shell may take the terminal back from the background
    tcsetpgrp(STDIN_FILENO, job);
    int status = 0;
    while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
        tcsetpgrp(STDIN_FILENO, getpgrp());
        Report(StoppedEvent - WSTOPSIG(status));
        bool running = false;
        for (char command = 0; command != Foreground; running = true) {
            if (read(ShellCommands, &command, 1) != 1) _exit(101);
            if (command == Foreground) tcsetpgrp(STDIN_FILENO, job);
            if (!running) kill(-job, SIGCONT);  // as bash, no SIGCONT for a job that runs
        }
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
}

TEST(ConsoleKeysOnTerminal, StopsPutSettingsBackAndOnlyTheForegroundJobHasKeyMode) {
    termios before = UnusualSettings();
    int commands[2];
    ASSERT_EQ(pipe(commands), 0);
    ShellCommands = commands[0];
    Child child = Start(KeysAsStoppableJob, &before);
    close(commands[0]);
    auto shell = [&](char command) { EXPECT_EQ(write(commands[1], &command, 1), 1); };
    ExpectBegun(child, before);
    pid_t job = tcgetpgrp(child.master);  // the job leads the terminal's foreground group
    ASSERT_GT(job, 0);
    // Ctrl-Z, then a stop that the job cannot see coming and so leaves key mode on.
    for (int stop : {SIGTSTP, SIGSTOP}) {
        SCOPED_TRACE(stop);
        if (stop == SIGTSTP) Type(child, "\32");
        if (stop == SIGSTOP) kill(job, SIGSTOP);
        ASSERT_EQ(NextEvent(child), StoppedEvent - stop);
        EXPECT_EQ(SettingsNow(child), Describe(stop == SIGTSTP ? before : KeyMode(before)));
        ASSERT_EQ(tcsetattr(child.master, TCSANOW, &before), 0);  // as a shell does during a stop
        shell(Foreground);
        ExpectKeyMode(child, before);
        Type(child, "z");  // without key mode back, it would wait for Enter
        EXPECT_EQ(NextEvent(child), 'z');
    }
    // Ctrl-Z and bg: running in the background, the job neither reads the keys typed at the
    // shell nor sets the terminal. fg then gives it key mode, and those keys, with no SIGCONT.
    Type(child, "\32");
    ASSERT_EQ(NextEvent(child), StoppedEvent - SIGTSTP);
    shell(Background);
    Type(child, "ls\r");
    EXPECT_EQ(NextEvent(child), LeftAloneEvent);
    EXPECT_EQ(SettingsNow(child), Describe(before));
    shell(Foreground);
    EXPECT_EQ(NextEvents(child, 3), (Codes{'l', 's', '\n'}));
    ExpectKeyMode(child, before);
    ExpectCleanEnd(child, before);
    close(commands[1]);
}

TEST(ConsoleKeysWithoutTerminal, KeysThenNoneForGoodAtTheEndOfInputWithoutSpinning) {
    Child piped = Start([] {  // a pipe that holds some keys and then ends
        int ends[2];
        if (pipe(ends) != 0 || write(ends[1], "k\x1b[Al\x1b", 6) != 6 || close(ends[1]) != 0) return;
        dup2(ends[0], STDIN_FILENO);
        BeginConsoleKeys();
        while (KeyPressWaiting() == 1) Report(TakeKeyCode());
        Report(EndedEvent);
        ReportPolling();
    }, nullptr);
    EXPECT_EQ(NextEvents(piped, 5), (Codes{'k', SequenceKeyCode, 'l', EscKeyCode, EndedEvent}));
    ExpectQuickPollingWithNoKey(piped);
    EXPECT_EQ(Finish(piped, nullptr), 0);
    Child null = Start([] { dup2(open("/dev/null", O_RDONLY), STDIN_FILENO); BeginConsoleKeys(); ReportPolling(); },
                       nullptr);
    ExpectQuickPollingWithNoKey(null);
    EXPECT_EQ(Finish(null, nullptr), 0);
    // Closed at Begin, then reused for an endless source (or nothing reported): it stays ended.
    Child closed = Start([] {
        close(STDIN_FILENO);
        BeginConsoleKeys();
        if (open("/dev/zero", O_RDONLY) == STDIN_FILENO) ReportPolling();
    }, nullptr);
    ExpectQuickPollingWithNoKey(closed);
    EXPECT_EQ(Finish(closed, nullptr), 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], KeysJobOption) == 0) {
        EventFd = std::atoi(argv[2]);
        alarm(20);
        while (tcgetpgrp(STDIN_FILENO) != getpgrp()) usleep(1000);
        KeysOnTerminal();
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
