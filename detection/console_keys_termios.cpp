// Console keys over termios. A terminal on standard input is switched to key-at-a-time
// input without echo and put back as it was: by EndConsoleKeys, before a fatal signal
// takes its default action, and around job-control stops. Standard input that is no
// terminal is read as it stands, until its end.
#include "console_keys.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers share these flags");

constexpr int KeyInput = STDIN_FILENO;
constexpr int32_t NoKeyCode = -1;  // TakeKeyCode with nothing waiting

// Bytes read and not yet taken as keys; longer than any key's escape sequence.
constexpr int PendingSize = 64;
static unsigned char Pending[PendingSize];
static int PendingCount;
static bool InputEnded;  // end of input or a dead descriptor: nothing is read any more

static termios SavedTermios;
static termios KeyTermios;
static std::atomic<int> KeysBegun{0};        // between BeginConsoleKeys and EndConsoleKeys, on a terminal
static std::atomic<int> KeyModeApplied{0};   // the terminal holds KeyTermios rather than SavedTermios
static struct sigaction StopAction;          // ours for SIGTSTP, put back after each stop

// In slot order: the three that end the process, the stop, the continue.
constexpr int SignalSlots = 5;
static const int HandledSignals[SignalSlots] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT};
static struct sigaction PreviousActions[SignalSlots];
static bool Replaced[SignalSlots];

static void PutTerminalBack() {
    if (KeyModeApplied.exchange(0) == 1) tcsetattr(KeyInput, TCSANOW, &SavedTermios);
}

static bool InForeground() {
    pid_t owner = tcgetpgrp(KeyInput);
    // -1: not our controlling terminal, so no job control stands in the way.
    return owner == -1 || owner == getpgrp();
}

// Key mode for a foreground job only: a background job would take the terminal from the shell.
static void ApplyKeyMode() {
    if (KeysBegun.load() == 0 || !InForeground()) return;
    tcsetattr(KeyInput, TCSANOW, &KeyTermios);
    KeyModeApplied.store(1);
    // EndConsoleKeys on another thread may have put the terminal back before our tcsetattr.
    if (KeysBegun.load() == 0) PutTerminalBack();
}

static void OnEndingSignal(int signalNumber) {
    PutTerminalBack();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // blocked in this handler: delivered, with the default action, on return
}

static void OnStopSignal(int) {
    int savedErrno = errno;
    PutTerminalBack();
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    // The process stops here until SIGCONT; the kernel drops the stop for an orphaned process group.
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (KeysBegun.load() != 0) {
        sigaction(SIGTSTP, &StopAction, nullptr);
        ApplyKeyMode();
    }
    errno = savedErrno;
}

static void OnContinueSignal(int) {
    int savedErrno = errno;
    ApplyKeyMode();
    errno = savedErrno;
}

// Our signals, and SIGTTOU so that a background job can still put the terminal back.
static void FillHeldSignals(sigset_t* held) {
    sigemptyset(held);
    for (int slot = 0; slot < SignalSlots; ++slot) sigaddset(held, HandledSignals[slot]);
    sigaddset(held, SIGTTOU);
}

static struct sigaction ActionFor(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    FillHeldSignals(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return action;
}

static void ReplaceHandler(int slot, const struct sigaction& ours) {
    sigaction(HandledSignals[slot], nullptr, &PreviousActions[slot]);
    // A signal ignored from the start (nohup, a background job of a script) stays ignored.
    Replaced[slot] = PreviousActions[slot].sa_handler != SIG_IGN;
    if (Replaced[slot]) sigaction(HandledSignals[slot], &ours, nullptr);
}

void BeginConsoleKeys() {
    if (KeysBegun.load() != 0) return;
    sigset_t held;
    sigset_t before;
    FillHeldSignals(&held);
    pthread_sigmask(SIG_BLOCK, &held, &before);
    // A closed standard input stays closed for us, whatever later takes descriptor 0.
    if (fcntl(KeyInput, F_GETFD) == -1 && errno == EBADF) InputEnded = true;
    if (!InputEnded && tcgetattr(KeyInput, &SavedTermios) == 0) {
        KeyTermios = SavedTermios;
        KeyTermios.c_lflag &= ~(ICANON | ECHO);
        KeyTermios.c_cc[VMIN] = 1;
        KeyTermios.c_cc[VTIME] = 0;
        StopAction = ActionFor(OnStopSignal);
        KeysBegun.store(1);  // publishes the two termios and StopAction to the handlers
        struct sigaction ending = ActionFor(OnEndingSignal);
        ReplaceHandler(0, ending);
        ReplaceHandler(1, ending);
        ReplaceHandler(2, ending);
        ReplaceHandler(3, StopAction);
        ReplaceHandler(4, ActionFor(OnContinueSignal));
        ApplyKeyMode();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void EndConsoleKeys() {
    if (KeysBegun.load() == 0) return;
    sigset_t held;
    sigset_t before;
    FillHeldSignals(&held);
    pthread_sigmask(SIG_BLOCK, &held, &before);
    KeysBegun.store(0);
    PutTerminalBack();
    for (int slot = 0; slot < SignalSlots; ++slot) {
        if (Replaced[slot]) sigaction(HandledSignals[slot], &PreviousActions[slot], nullptr);
        Replaced[slot] = false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Adds to Pending what standard input has within waitMs; false when nothing came.
static bool ReadMore(int waitMs) {
    if (InputEnded || PendingCount == PendingSize) return false;
    pollfd input = {KeyInput, POLLIN, 0};
    if (poll(&input, 1, waitMs) <= 0) return false;
    // POLLHUP, POLLERR or POLLNVAL with nothing to read: that input is over.
    if ((input.revents & POLLIN) == 0) {
        InputEnded = true;
        return false;
    }
    ssize_t got = read(KeyInput, Pending + PendingCount, static_cast<size_t>(PendingSize - PendingCount));
    if (got > 0) {
        PendingCount += static_cast<int>(got);
        return true;
    }
    if (got == 0 || (errno != EINTR && errno != EAGAIN)) InputEnded = true;
    return false;
}

// Whether Pending has a byte at index, once the bytes before it have come.
static bool ByteArrives(int index) {
    // The bytes of one key's sequence come together; a gap this long after a 27 means a lone ESC.
    constexpr int SequenceGapMs = 40;
    while (index >= PendingCount) {
        if (!ReadMore(SequenceGapMs)) return false;
    }
    return true;
}

// Length of the key at the front of Pending, which begins with 27: 1 for a lone ESC.
static int EscapeKeyLength() {
    int length = 1;
    if (!ByteArrives(length)) return length;
    // ESC ESC: Alt with ESC, or with a key that itself sends a sequence.
    if (Pending[length] == EscKeyCode) {
        ++length;
        if (!ByteArrives(length) || Pending[length] == EscKeyCode) return length;
    }
    unsigned char introducer = Pending[length++];
    if (introducer == '[') {
        // CSI: parameter and intermediate bytes 0x20..0x3F, then one final byte 0x40..0x7E.
        while (ByteArrives(length)) {
            unsigned char next = Pending[length];
            if (next >= 0x40 && next <= 0x7E) return length + 1;
            if (next < 0x20 || next > 0x3F) return length;
            ++length;
        }
        return length;
    }
    // SS3 (ESC O x) carries one more byte; any other byte after ESC is Alt with that key.
    if (introducer == 'O' && ByteArrives(length)) ++length;
    return length;
}

int32_t KeyPressWaiting() {
    if (PendingCount == 0) ReadMore(0);
    return PendingCount > 0 ? 1 : 0;
}

int32_t TakeKeyCode() {
    if (PendingCount == 0) ReadMore(0);
    if (PendingCount == 0) return NoKeyCode;
    int32_t code = Pending[0];
    int length = 1;
    if (code == EscKeyCode) {
        length = EscapeKeyLength();
        if (length > 1) code = SequenceKeyCode;
    }
    PendingCount -= length;
    std::memmove(Pending, Pending + length, static_cast<size_t>(PendingCount));
    return code;
}
