// The termios keys layer on real pseudo-terminals: a child process takes keys on the slave
// side and reports each code through a pipe while the test types into the master and reads
// the slave's settings through it. Children on plain pipes and /dev/null cover input that
// is no terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console_keys.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t BeganEvent = -1000;    // the child is in key mode
constexpr int32_t EndedEvent = -1001;    // the child has called EndConsoleKeys
constexpr int32_t StoppedEvent = -1002;  // the job was stopped; its stop signal follows
constexpr int32_t NoEvent = -1999;       // nothing came in time
constexpr int32_t QuitKey = 'q';
constexpr int EventWaitMs = 5000;        // generous: the machine may be loaded

// Set in each child: where it reports its events.
int EventFd = -1;
// A descriptor of the test's that a child must not hold open (the write end of its input pipe).
int NotForChild = -1;

void Report(int32_t event) {
    ssize_t written = write(EventFd, &event, sizeof event);
    (void)written;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Child: reports each key taken until QuitKey, or for at most ten seconds.
void TakeKeysUntilQuit() {
    Clock::time_point start = Clock::now();
    while (MsSince(start) < 10000) {
        if (KeyPressWaiting() == 0) {
            usleep(2000);
            continue;
        }
        int32_t code = TakeKeyCode();
        Report(code);
        if (code == QuitKey) return;
    }
}

// Child: how many of `polls` calls, 1 ms apart, said a key was waiting.
int32_t CountWaiting(int polls) {
    int32_t waiting = 0;
    for (int i = 0; i < polls; ++i) {
        waiting += KeyPressWaiting();
        usleep(1000);
    }
    return waiting;
}

struct Child {
    pid_t pid = -1;
    int master = -1;  // the terminal's master side, when on a terminal
    int events = -1;
};

// Runs body in a child process, then ends it: on a new terminal with these settings, or
// without one (nullptr) on the test's own standard input.
Child Start(void (*body)(), const termios* terminalSettings) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    Child child;
    child.pid = terminalSettings != nullptr ? forkpty(&child.master, nullptr, terminalSettings, nullptr)
                                            : fork();
    if (child.pid == 0) {
        close(pipeEnds[0]);
        if (NotForChild != -1) close(NotForChild);
        EventFd = pipeEnds[1];
        alarm(20);  // a hung child dies rather than hanging the test
        body();
        _exit(0);
    }
    EXPECT_GT(child.pid, 0);
    close(pipeEnds[1]);
    child.events = pipeEnds[0];
    return child;
}

int32_t NextEvent(const Child& child) {
    pollfd ready = {child.events, POLLIN, 0};
    int32_t event = NoEvent;
    if (poll(&ready, 1, EventWaitMs) == 1 && read(child.events, &event, sizeof event) != sizeof event)
        event = NoEvent;
    return event;
}

std::vector<int32_t> NextEvents(const Child& child, size_t count) {
    std::vector<int32_t> events;
    while (events.size() < count) events.push_back(NextEvent(child));
    return events;
}

void Type(const Child& child, const std::string& bytes) {
    ASSERT_EQ(write(child.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The child's wait status once it has ended; it is killed after ten seconds.
int Finish(Child& child) {
    int status = -1;
    Clock::time_point start = Clock::now();
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (MsSince(start) > 10000) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            ADD_FAILURE() << "child did not end";
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    close(child.events);
    return status;
}

termios TerminalNow(const Child& child) {
    termios now = {};
    EXPECT_EQ(tcgetattr(child.master, &now), 0);  // on Linux the master reports the slave's settings
    return now;
}

std::string Describe(const termios& t) {
    std::string text = "iflag " + std::to_string(t.c_iflag) + " oflag " + std::to_string(t.c_oflag) +
                       " cflag " + std::to_string(t.c_cflag) + " lflag " + std::to_string(t.c_lflag) +
                       " line " + std::to_string(t.c_line) + " cc";
    for (int i = 0; i < NCCS; ++i) text += " " + std::to_string(t.c_cc[i]);
    return text + " speeds " + std::to_string(cfgetispeed(&t)) + "/" + std::to_string(cfgetospeed(&t));
}

// Settings no terminal starts with, so that a layer which "restores" to defaults is caught.
termios UnusualSettings() {
    int master = -1;
    int slave = -1;
    termios t = {};
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(tcgetattr(slave, &t), 0);
    close(slave);
    close(master);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    t.c_lflag |= ECHONL;
    t.c_iflag ^= IUTF8;
    t.c_cc[VMIN] = 7;
    t.c_cc[VTIME] = 3;
    cfsetspeed(&t, B19200);
    return t;
}

// What the same settings read back as from a terminal, after the kernel's own adjustments.
termios AsTerminalHolds(const termios& settings) {
    int master = -1;
    int slave = -1;
    termios held = {};
    EXPECT_EQ(openpty(&master, &slave, nullptr, &settings, nullptr), 0);
    EXPECT_EQ(tcgetattr(slave, &held), 0);
    close(slave);
    close(master);
    return held;
}

void ExpectKeyMode(const termios& now, const termios& before) {
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u) << "still canonical or echoing";
    EXPECT_NE(now.c_lflag & ISIG, 0u) << "Ctrl-C would no longer interrupt";
    EXPECT_EQ(now.c_cc[VMIN], 1);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    EXPECT_EQ(now.c_oflag, before.c_oflag) << "output processing changed";
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
}

// Reads the master's output until `last` has appeared or five seconds have passed.
std::string OutputUntil(const Child& child, const std::string& last) {
    std::string output;
    Clock::time_point start = Clock::now();
    while (output.find(last) == std::string::npos && MsSince(start) < EventWaitMs) {
        pollfd ready = {child.master, POLLIN, 0};
        char chunk[256];
        if (poll(&ready, 1, 100) != 1) continue;
        ssize_t got = read(child.master, chunk, sizeof chunk);
        if (got <= 0) break;
        output.append(chunk, static_cast<size_t>(got));
    }
    return output;
}

void SayOnOutput(const char* text) {
    ssize_t written = write(STDOUT_FILENO, text, strlen(text));
    (void)written;
}

void KeysBetweenBeginAndEnd() {
    BeginConsoleKeys();
    Report(BeganEvent);
    SayOnOutput("mark\n");
    Report(CountWaiting(100));
    TakeKeysUntilQuit();
    EndConsoleKeys();
    Report(EndedEvent);
    SayOnOutput("end\n");
}

struct Typing {
    const char* bytes;
    std::vector<int32_t> codes;
};

TEST(ConsoleKeysOnTerminal, EveryKeyIsOneCodeAndOnlyALoneEscIsEsc) {
    termios settings = UnusualSettings();
    Child child = Start(KeysBetweenBeginAndEnd, &settings);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    EXPECT_EQ(NextEvent(child), 0) << "a key waiting on an idle terminal";
    const int32_t Seq = SequenceKeyCode;
    // Each step is typed only once the step before has been taken, so a stray code from one
    // step shows up in place of the next step's codes.
    const Typing steps[] = {
        {"a", {'a'}},
        {"\x1b", {EscKeyCode}},
        {"\x1b[A", {Seq}},           // up arrow, CSI
        {"\x1bOP", {Seq}},           // F1, SS3
        {"\x1b[15~", {Seq}},         // F5, CSI with a parameter
        {"\x1b[1;5C", {Seq}},        // Ctrl-Right, CSI with two parameters
        {"\x1bx", {Seq}},            // Alt-x
        {"\x1b\x1b[B", {Seq}},       // Alt-Down as some terminals send it
        {"b\x1b", {'b', EscKeyCode}},
        {"\x1b[Dc", {Seq, 'c'}},     // a sequence ends at its final byte
        {"\x1b[A\x1b", {Seq, EscKeyCode}},
        {"xyz\r", {'x', 'y', 'z', '\n'}},
        {"q", {QuitKey}},
    };
    for (const Typing& step : steps) {
        SCOPED_TRACE(testing::PrintToString(std::string(step.bytes)));
        Type(child, step.bytes);
        EXPECT_EQ(NextEvents(child, step.codes.size()), step.codes);
    }
    EXPECT_EQ(NextEvent(child), EndedEvent);
    EXPECT_EQ(Finish(child), 0);
    close(child.master);
}

TEST(ConsoleKeysOnTerminal, KeyModeHidesKeysKeepsOutputAndEndPutsSettingsBackExactly) {
    termios before = AsTerminalHolds(UnusualSettings());
    Child child = Start(KeysBetweenBeginAndEnd, &before);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    ExpectKeyMode(TerminalNow(child), before);
    ASSERT_EQ(NextEvent(child), 0);
    Type(child, "hello");
    EXPECT_EQ(NextEvents(child, 5), (std::vector<int32_t>{'h', 'e', 'l', 'l', 'o'}));
    Type(child, "q");
    EXPECT_EQ(NextEvents(child, 2), (std::vector<int32_t>{QuitKey, EndedEvent}));
    // No echo of the keys between the two lines, and newlines still become CR LF.
    EXPECT_EQ(OutputUntil(child, "end\r\n"), "mark\r\nend\r\n");
    EXPECT_EQ(Finish(child), 0);
    EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));
    close(child.master);
}

void KeysUntilKilled() {
    BeginConsoleKeys();
    Report(BeganEvent);
    TakeKeysUntilQuit();
}

TEST(ConsoleKeysOnTerminal, EndingSignalsPutSettingsBackAndStillEndTheProcess) {
    termios before = AsTerminalHolds(UnusualSettings());
    struct Ending {
        const char* name;
        int signalNumber;
        bool typed;  // sent by the terminal from its key, rather than by kill
    };
    const Ending endings[] = {{"Ctrl-C", SIGINT, true}, {"SIGTERM", SIGTERM, false}, {"SIGHUP", SIGHUP, false}};
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        Child child = Start(KeysUntilKilled, &before);
        ASSERT_EQ(NextEvent(child), BeganEvent);
        ExpectKeyMode(TerminalNow(child), before);
        if (ending.typed)
            Type(child, std::string(1, static_cast<char>(before.c_cc[VINTR])));
        else
            kill(child.pid, ending.signalNumber);
        int status = Finish(child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == ending.signalNumber) << "status " << status;
        EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));
        close(child.master);
    }
}

constexpr int32_t OwnHandlerEvent = -1003;  // the child's own SIGTERM handler ran

void OnTermReport(int) { Report(OwnHandlerEvent); }

// Child: with a SIGTERM handler of its own and SIGINT ignored, takes keys until QuitKey,
// then raises SIGTERM after EndConsoleKeys.
void KeysWithHandlersOfItsOwn() {
    struct sigaction own = {};
    own.sa_handler = OnTermReport;
    sigaction(SIGTERM, &own, nullptr);
    signal(SIGINT, SIG_IGN);
    BeginConsoleKeys();
    Report(BeganEvent);
    TakeKeysUntilQuit();
    EndConsoleKeys();
    Report(EndedEvent);
    raise(SIGTERM);
}

TEST(ConsoleKeysOnTerminal, AnIgnoredCtrlCStaysIgnoredAndEndPutsBackTheHandlersFound) {
    termios before = AsTerminalHolds(UnusualSettings());
    Child child = Start(KeysWithHandlersOfItsOwn, &before);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    Type(child, std::string(1, static_cast<char>(before.c_cc[VINTR])) + "q");
    EXPECT_EQ(NextEvents(child, 3), (std::vector<int32_t>{QuitKey, EndedEvent, OwnHandlerEvent}));
    EXPECT_EQ(Finish(child), 0);
    EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));
    close(child.master);
}

// Child: a shell in miniature. It runs the keys as a job in a process group of its own that
// holds the terminal (a session leader's own group is orphaned, and the kernel does not stop
// an orphaned group on Ctrl-Z), and reports the job's pid, its stop and its end.
void KeysAsStoppableJob() {
    pid_t job = fork();
    if (job == 0) {
        alarm(20);
        setpgid(0, 0);
        Clock::time_point start = Clock::now();
        while (tcgetpgrp(STDIN_FILENO) != getpgrp() && MsSince(start) < 5000) usleep(1000);
        KeysBetweenBeginAndEnd();
        _exit(0);
    }
    setpgid(job, job);
    tcsetpgrp(STDIN_FILENO, job);
    Report(job);
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
        Report(StoppedEvent);
        Report(WSTOPSIG(status));
        waitpid(job, &status, 0);
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100);
}

// Whether the process is stopped, from its state in /proc (it is no child of the test's).
bool WaitsStopped(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* stat = fopen(path, "r");
    if (stat == nullptr) return false;
    char state = '?';
    int scanned = fscanf(stat, "%*d (%*[^)]) %c", &state);
    fclose(stat);
    return scanned == 1 && state == 'T';
}

TEST(ConsoleKeysOnTerminal, CtrlZPutsSettingsBackAndContinuingPutsKeyModeBack) {
    termios before = AsTerminalHolds(UnusualSettings());
    Child child = Start(KeysAsStoppableJob, &before);
    pid_t job = NextEvent(child);
    ASSERT_GT(job, 0);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    ExpectKeyMode(TerminalNow(child), before);
    ASSERT_EQ(NextEvent(child), 0);
    Type(child, std::string(1, static_cast<char>(before.c_cc[VSUSP])));
    ASSERT_EQ(NextEvents(child, 2), (std::vector<int32_t>{StoppedEvent, SIGTSTP}));
    EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));

    kill(job, SIGCONT);
    Clock::time_point start = Clock::now();
    while ((TerminalNow(child).c_lflag & ICANON) != 0 && MsSince(start) < EventWaitMs)
        std::this_thread::sleep_for(milliseconds(5));
    ExpectKeyMode(TerminalNow(child), before);
    // Without key mode back, a key without Enter would not reach the job at all.
    Type(child, "z");
    EXPECT_EQ(NextEvent(child), 'z');

    // A stop it cannot see (SIGSTOP), during which a shell puts its own settings back.
    kill(job, SIGSTOP);
    start = Clock::now();
    while (!WaitsStopped(job) && MsSince(start) < EventWaitMs) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(tcsetattr(child.master, TCSANOW, &before), 0);
    kill(job, SIGCONT);
    start = Clock::now();
    while ((TerminalNow(child).c_lflag & ICANON) != 0 && MsSince(start) < EventWaitMs)
        std::this_thread::sleep_for(milliseconds(5));
    ExpectKeyMode(TerminalNow(child), before);
    Type(child, "yq");
    EXPECT_EQ(NextEvents(child, 3), (std::vector<int32_t>{'y', QuitKey, EndedEvent}));
    EXPECT_EQ(Finish(child), 0);
    EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));
    close(child.master);
}

TEST(ConsoleKeysOnTerminal, CtrlZWhereTheKernelAllowsNoStopLeavesKeyModeOn) {
    termios before = AsTerminalHolds(UnusualSettings());
    // The child leads its session, so its process group is orphaned and Ctrl-Z cannot stop it.
    Child child = Start(KeysBetweenBeginAndEnd, &before);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    ASSERT_EQ(NextEvent(child), 0);
    Type(child, std::string(1, static_cast<char>(before.c_cc[VSUSP])) + "k");
    EXPECT_EQ(NextEvent(child), 'k');
    ExpectKeyMode(TerminalNow(child), before);
    Type(child, "q");
    EXPECT_EQ(NextEvents(child, 2), (std::vector<int32_t>{QuitKey, EndedEvent}));
    EXPECT_EQ(Finish(child), 0);
    EXPECT_EQ(Describe(TerminalNow(child)), Describe(before));
    close(child.master);
}

// Child: how many of 300 polls said a key was waiting, and the CPU time in microseconds
// those polls cost.
void ReportPollingAfterTheEnd() {
    timespec cpuStart;
    timespec cpuEnd;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuStart);
    Report(CountWaiting(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuEnd);
    Report(static_cast<int32_t>((cpuEnd.tv_sec - cpuStart.tv_sec) * 1000000 +
                                (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1000));
}

// Child: the keys taken from what is there, then the polling after its end.
void KeysToEndOfInput() {
    BeginConsoleKeys();
    Report(BeganEvent);
    while (KeyPressWaiting() == 1) Report(TakeKeyCode());
    Report(EndedEvent);
    ReportPollingAfterTheEnd();
    EndConsoleKeys();
}

void KeysFromDevNull() {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    KeysToEndOfInput();
}

void KeysFromClosedInputThenZeros() {
    close(STDIN_FILENO);
    BeginConsoleKeys();
    // Descriptor 0 reused for an endless source: the input that ended stays ended.
    if (open("/dev/zero", O_RDONLY) != STDIN_FILENO) Report(NoEvent);
    Report(BeganEvent);
    ReportPollingAfterTheEnd();
    EndConsoleKeys();
}

constexpr int32_t SpinningCpuMicroseconds = 150000;  // of some 300 ms of polling

void ExpectEndedForGood(const Child& child) {
    EXPECT_EQ(NextEvent(child), 0) << "keys still waiting after the end of input";
    int32_t cpu = NextEvent(child);
    EXPECT_GE(cpu, 0);
    EXPECT_LT(cpu, SpinningCpuMicroseconds) << "polling at the end of input costs CPU";
}

TEST(ConsoleKeysWithoutTerminal, APipeGivesItsKeysThenNoneForGood) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const std::string typed = "k\x1b[Al\x1b";
    ASSERT_EQ(write(input[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    close(input[1]);
    int savedInput = dup(STDIN_FILENO);
    dup2(input[0], STDIN_FILENO);
    Child child = Start(KeysToEndOfInput, nullptr);
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    close(input[0]);
    ASSERT_EQ(NextEvent(child), BeganEvent);
    EXPECT_EQ(NextEvents(child, 4), (std::vector<int32_t>{'k', SequenceKeyCode, 'l', EscKeyCode}));
    EXPECT_EQ(NextEvent(child), EndedEvent);
    ExpectEndedForGood(child);
    EXPECT_EQ(Finish(child), 0);
}

TEST(ConsoleKeysWithoutTerminal, DevNullAndAClosedInputGiveNoKeysAndDoNotSpin) {
    Child null = Start(KeysFromDevNull, nullptr);
    ASSERT_EQ(NextEvent(null), BeganEvent);
    EXPECT_EQ(NextEvent(null), EndedEvent) << "a key taken from /dev/null";
    ExpectEndedForGood(null);
    EXPECT_EQ(Finish(null), 0);

    Child closed = Start(KeysFromClosedInputThenZeros, nullptr);
    ASSERT_EQ(NextEvent(closed), BeganEvent) << "descriptor 0 not reused as expected";
    ExpectEndedForGood(closed);
    EXPECT_EQ(Finish(closed), 0);
}

// Child: polls a pipe that stays open, takes the one key written to it, then polls to its end.
void KeysFromALivePipe() {
    BeginConsoleKeys();
    Clock::time_point start = Clock::now();
    Report(CountWaiting(100));
    Report(static_cast<int32_t>(MsSince(start)));
    start = Clock::now();
    while (KeyPressWaiting() == 0 && MsSince(start) < 5000) usleep(1000);
    Report(TakeKeyCode());
    KeysToEndOfInput();
}

TEST(ConsoleKeysWithoutTerminal, AnOpenPipeWithNothingInItNeverBlocks) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    int savedInput = dup(STDIN_FILENO);
    dup2(input[0], STDIN_FILENO);
    NotForChild = input[1];
    Child child = Start(KeysFromALivePipe, nullptr);
    NotForChild = -1;
    dup2(savedInput, STDIN_FILENO);
    close(savedInput);
    close(input[0]);
    EXPECT_EQ(NextEvent(child), 0);
    int32_t pollingMs = NextEvent(child);
    EXPECT_GE(pollingMs, 0);
    EXPECT_LT(pollingMs, 3000) << "100 polls with 1 ms sleeps took " << pollingMs << " ms";
    ASSERT_EQ(write(input[1], "w", 1), 1);
    EXPECT_EQ(NextEvent(child), 'w');
    close(input[1]);
    EXPECT_EQ(NextEvent(child), BeganEvent);
    EXPECT_EQ(NextEvent(child), EndedEvent);
    ExpectEndedForGood(child);
    EXPECT_EQ(Finish(child), 0);
}

}  // namespace
