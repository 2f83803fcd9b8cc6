// The event command's runs on Linux: posix_spawn with /dev/null for input and the program's
// standard error for output (/dev/null at a terminal), no descriptor of the program's carried
// over, each run in a process group of its own; each watched through a pidfd and reaped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "event_runs.h"

extern char** environ;

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler sets it");

constexpr const char* CommandInFolder = "quillbramble-sentry/on-event";
constexpr const char* EventVariable = "QUILLBRAMBLE_EVENT=";
constexpr const char* TimeVariable = "QUILLBRAMBLE_EVENT_TIME=";
constexpr int EnvironmentAtMost = 1024;  // variables handed on; those beyond are left out
constexpr int EventBytes = 64;
constexpr int EndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

static pid_t RunPids[RunsAtMost];  // 0: no run
static int RunPidFds[RunsAtMost];
static int WakeFd = -1;
static std::atomic<int> CaughtSignal{0};
static struct sigaction ActionsBefore[NSIG];
static bool Held[NSIG];

static posix_spawn_file_actions_t Descriptors;
static posix_spawnattr_t Attributes;
static bool SpawnReady;
static char* Environment[EnvironmentAtMost + 3];
static char EventSetting[EventBytes + 32];
static char TimeSetting[64];
static char EventArgument[EventBytes];
static char PathArgument[PATH_MAX];

static bool OnlyOwnersMayChange(const struct stat& info) {
    return (info.st_uid == geteuid() || info.st_uid == 0) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int32_t FindEventCommand(char* path, int32_t pathBytes) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    char named[PATH_MAX];
    int written;
    if (config != nullptr && config[0] == '/')
        written = std::snprintf(named, sizeof named, "%s/%s", config, CommandInFolder);
    else if (home != nullptr && home[0] != '\0')
        written = std::snprintf(named, sizeof named, "%s/.config/%s", home, CommandInFolder);
    else
        return NoEventCommand;
    // The file a link leads to is the one run, so it and its own folder are the ones checked.
    if (written < 0 || written >= static_cast<int>(sizeof named) || realpath(named, path) == nullptr ||
        static_cast<int32_t>(std::strlen(path)) >= pathBytes)
        return NoEventCommand;
    struct stat file, folder;
    if (stat(path, &file) != 0 || !S_ISREG(file.st_mode) || access(path, X_OK) != 0) return NoEventCommand;
    char* slash = std::strrchr(path, '/');
    *slash = '\0';
    const bool folderFound = stat(slash == path ? "/" : path, &folder) == 0;
    *slash = '/';
    return folderFound && OnlyOwnersMayChange(file) && OnlyOwnersMayChange(folder) ? EventCommandUsable
                                                                                   : EventCommandRefused;
}

static void OnEndingSignal(int signalNumber) {
    int savedErrno = errno;
    CaughtSignal.store(signalNumber);
    WakeRunWaiter();
    errno = savedErrno;
}

// Set once, for every run: what it inherits is the program's standard error or nothing.
static void ReadySpawn() {
    posix_spawn_file_actions_init(&Descriptors);
    posix_spawn_file_actions_addopen(&Descriptors, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (isatty(STDERR_FILENO)) {
        // Output at a terminal would write over the console.
        posix_spawn_file_actions_addopen(&Descriptors, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&Descriptors, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&Descriptors, STDERR_FILENO, STDOUT_FILENO);
    }
    // Libraries' descriptors that lack close-on-exec (a device, a sound server's socket) too.
    posix_spawn_file_actions_addclosefrom_np(&Descriptors, STDERR_FILENO + 1);
    posix_spawnattr_init(&Attributes);
    // The delivery thread blocks every signal and the program ignores SIGPIPE: the command
    // starts with neither. Its own process group keeps a Ctrl-C at the console from it.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&Attributes, &none);
    posix_spawnattr_setsigdefault(&Attributes, &all);
    posix_spawnattr_setpgroup(&Attributes, 0);
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    SpawnReady = true;
}

void BeginRuns() {
    if (WakeFd == -1) WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!SpawnReady) ReadySpawn();
    CaughtSignal.store(0);
    struct sigaction hold = {};
    hold.sa_handler = OnEndingSignal;
    sigfillset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    for (int signalNumber : EndingSignals) {
        // A signal ignored from the start (nohup) stays ignored.
        struct sigaction& before = ActionsBefore[signalNumber];
        Held[signalNumber] = sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler != SIG_IGN &&
                             sigaction(signalNumber, &hold, nullptr) == 0;
    }
}

void EndRuns() {
    for (int signalNumber : EndingSignals) {
        if (Held[signalNumber]) sigaction(signalNumber, &ActionsBefore[signalNumber], nullptr);
        Held[signalNumber] = false;
    }
}

// "2026-12-09T14:03:22+01:00": strftime's %z has no colon.
static void FormatEventTime(int64_t eventTime, char* into, size_t bytes) {
    const time_t seconds = static_cast<time_t>(eventTime);
    struct tm local;
    char zone[8] = "+0000";
    char stamp[32] = "";
    if (localtime_r(&seconds, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
        std::strftime(zone, sizeof zone, "%z", &local);
    }
    std::snprintf(into, bytes, "%s%s%.3s:%.2s", TimeVariable, stamp, zone, zone + 3);
}

static bool Replaced(const char* setting) {
    return std::strncmp(setting, EventVariable, std::strlen(EventVariable)) == 0 ||
           std::strncmp(setting, TimeVariable, std::strlen(TimeVariable)) == 0;
}

int32_t StartRun(const char* path, const char* event, int64_t eventTime) {
    int32_t run = 0;
    while (run < RunsAtMost && RunPids[run] != 0) ++run;
    if (run == RunsAtMost || !SpawnReady) return NoRun;
    std::snprintf(PathArgument, sizeof PathArgument, "%s", path);
    std::snprintf(EventArgument, sizeof EventArgument, "%s", event);
    std::snprintf(EventSetting, sizeof EventSetting, "%s%s", EventVariable, event);
    FormatEventTime(eventTime, TimeSetting, sizeof TimeSetting);
    int count = 0;
    for (char** setting = environ; *setting != nullptr && count < EnvironmentAtMost; ++setting)
        if (!Replaced(*setting)) Environment[count++] = *setting;
    Environment[count++] = EventSetting;
    Environment[count++] = TimeSetting;
    Environment[count] = nullptr;
    char* arguments[] = {PathArgument, EventArgument, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, PathArgument, &Descriptors, &Attributes, arguments, Environment) != 0) return NoRun;
    // Readable once the run has ended: the waiter's poll sees it. Linux 5.3 and later.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    RunPids[run] = pid;
    RunPidFds[run] = pidFd;
    return run;
}

int32_t TakeEndedRun(int32_t* wentThrough) {
    for (int32_t run = 0; run < RunsAtMost; ++run) {
        int status;
        if (RunPids[run] == 0 || waitpid(RunPids[run], &status, WNOHANG) != RunPids[run]) continue;
        if (RunPidFds[run] >= 0) close(RunPidFds[run]);
        RunPids[run] = 0;
        *wentThrough = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
        return run;
    }
    return NoRun;
}

void StopRun(int32_t run) {
    if (run >= 0 && run < RunsAtMost && RunPids[run] != 0) kill(RunPids[run], SIGTERM);
}

void KillRun(int32_t run) {
    if (run >= 0 && run < RunsAtMost && RunPids[run] != 0) kill(RunPids[run], SIGKILL);
}

void AwaitRuns(int32_t waitMs) {
    struct pollfd watched[RunsAtMost + 1];
    nfds_t count = 0;
    watched[count++] = {WakeFd, POLLIN, 0};
    for (int32_t run = 0; run < RunsAtMost; ++run)
        if (RunPids[run] != 0 && RunPidFds[run] >= 0) watched[count++] = {RunPidFds[run], POLLIN, 0};
    if (poll(watched, count, waitMs) > 0 && (watched[0].revents & POLLIN) != 0) {
        uint64_t wakes;
        if (read(WakeFd, &wakes, sizeof wakes) < 0) return;  // another took them: nothing lost
    }
}

void WakeRunWaiter() {
    const uint64_t one = 1;
    if (WakeFd >= 0 && write(WakeFd, &one, sizeof one) < 0) return;  // full: a wake-up is pending
}

int32_t EndingSignalCaught() {
    return CaughtSignal.load();
}

void EndBySignal(int32_t signalNumber) {
    signal(signalNumber, SIG_DFL);
    // From any thread: the main thread, the one that takes such signals, ends the process.
    kill(getpid(), signalNumber);
}
