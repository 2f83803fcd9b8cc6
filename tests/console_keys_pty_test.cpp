// The termios keys layer on pseudo-terminals: a child takes keys on the slave side and reports each
// code through a pipe, while the test types into the master and reads the slave's settings there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "console_keys.h"

namespace {
using Codes = std::vector<int32_t>;
constexpr int32_t BeganEvent = -1000;       // the child is in key mode
constexpr int32_t EndedEvent = -1001;       // the child has called EndConsoleKeys
constexpr int32_t OwnHandlerEvent = -1002;  // the child's own SIGTERM handler ran
constexpr int32_t StoppedEvent = -1100;     // minus the signal that stopped the job
constexpr int32_t NoEvent = -1999;          // nothing came in time
constexpr int32_t QuitKey = 'q';
constexpr int EventWaitMs = 5000;           // generous: the machine may be loaded
int EventFd = -1;  // in each child: where it reports its events

int32_t Report(int32_t event) { return write(EventFd, &event, sizeof event) < 0 ? NoEvent : event; }

// Child: how many of 300 polls, 1 ms apart, said a key was waiting; their wall ms and CPU us.
void ReportPolling() {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    int32_t waiting = 0;
    for (int i = 0; i < 300; ++i, usleep(1000)) waiting += KeyPressWaiting();
    Report(waiting);
    Report(static_cast<int32_t>((std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1)));
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
    while (KeyPressWaiting() == 0 || Report(TakeKeyCode()) != QuitKey) usleep(2000);
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

TEST(ConsoleKeysOnTerminal, EndingSignalsPutSettingsBackAndStillEndTheProcess) {
    termios before = UnusualSettings();
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        Child child = Start([] { BeginConsoleKeys(); Report(BeganEvent); pause(); }, &before);
        ASSERT_EQ(NextEvent(child), BeganEvent);
        ExpectKeyMode(child, before);
        if (signalNumber == SIGINT) Type(child, "\3");  // Ctrl-C, from the terminal
        if (signalNumber != SIGINT) kill(child.pid, signalNumber);
        int status = Finish(child, &before);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << "status " << status;
    }
}

// Child: a shell in miniature, reporting each stop of its job: the keys in a group of their own that
// holds the terminal (the kernel does not stop the orphaned group of a session leader).
void KeysAsStoppableJob() {
    pid_t job = fork();
    if (job == 0) {
        alarm(20);
        while (tcgetpgrp(STDIN_FILENO) != getpgrp()) usleep(1000);
        KeysOnTerminal();
        _exit(0);
    }
    setpgid(job, job);
    tcsetpgrp(STDIN_FILENO, job);
    int status = 0;
    while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) Report(StoppedEvent - WSTOPSIG(status));
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
}

TEST(ConsoleKeysOnTerminal, StopsPutSettingsBackAndContinuingPutsKeyModeBack) {
    termios before = UnusualSettings();
    Child child = Start(KeysAsStoppableJob, &before);
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
        kill(job, SIGCONT);
        ExpectKeyMode(child, before);
        Type(child, "z");  // without key mode back, it would wait for Enter
        EXPECT_EQ(NextEvent(child), 'z');
    }
    ExpectCleanEnd(child, before);
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
