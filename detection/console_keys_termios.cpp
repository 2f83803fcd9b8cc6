// Console keys over termios. A terminal on standard input is switched to key-at-a-time
// input without echo and put back as it was: by EndConsoleKeys, before any signal that
// ends the process takes its action, and around job-control stops. A job in the background
// leaves the terminal to the shell. Standard input that is no terminal is read as it
// stands, until its end.
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

static termios SavedTermios;  // as the terminal was when key mode last went on
static termios KeyTermios;
static pid_t OwnGroup;
static std::atomic<int> KeysBegun{0};       // between BeginConsoleKeys and EndConsoleKeys, on a terminal
static std::atomic<int> KeyModeApplied{0};  // the terminal holds KeyTermios rather than SavedTermios
static struct sigaction StopAction;         // ours for SIGTSTP, put back after each stop

// Each signal's action before BeginConsoleKeys, where it was replaced.
static struct sigaction PreviousActions[NSIG];
static bool Replaced[NSIG];

// Signals whose default action ends the process. SIGKILL cannot be caught; 32 and 33 are
// the C library's own.
static bool EndsTheProcess(int signalNumber) {
    switch (signalNumber) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
        return false;
    default:
        return signalNumber < 32 || signalNumber >= SIGRTMIN;
    }
}

// Raised by an instruction, which runs again, and faults again, once the handler returns.
static bool IsFault(int signalNumber) {
    return signalNumber == SIGSEGV || signalNumber == SIGBUS || signalNumber == SIGILL || signalNumber == SIGFPE;
}

static void PutTerminalBack() {
    if (KeyModeApplied.exchange(0) == 1) tcsetattr(KeyInput, TCSANOW, &SavedTermios);
}

static bool InForeground() {
    pid_t owner = tcgetpgrp(KeyInput);
    // -1: not our controlling terminal, so no job control stands in the way.
    return owner == -1 || owner == OwnGroup;
}

// Key mode for a foreground job only: a background job would take the terminal from the
// shell. Call with signals blocked.
static void ApplyKeyMode() {
    if (KeysBegun.load() == 0 || !InForeground()) return;
    // Coming into key mode, the settings the terminal has now are the ones to put back: a
    // shell may have changed them during a stop, and a job started in the background saw
    // only the shell's line editing at BeginConsoleKeys. Key mode still on is no such
    // settings (SIGSTOP leaves it on).
    if (KeyModeApplied.load() == 0) {
        if (tcgetattr(KeyInput, &SavedTermios) != 0) return;
        KeyTermios = SavedTermios;
        KeyTermios.c_lflag &= ~tcflag_t(ICANON | ECHO);
        KeyTermios.c_cc[VMIN] = 1;
        KeyTermios.c_cc[VTIME] = 0;
    }
    tcsetattr(KeyInput, TCSANOW, &KeyTermios);
    KeyModeApplied.store(1);
}

static void OnEndingSignal(int signalNumber, siginfo_t* info, void*) {
    int savedErrno = errno;
    KeysBegun.store(0);  // so that a SIGCONT handled before the end leaves the terminal be
    PutTerminalBack();
    // The action from before: the default one, or a sanitizer's report.
    sigaction(signalNumber, &PreviousActions[signalNumber], nullptr);
    Replaced[signalNumber] = false;
    // A fault comes again from its instruction. Any other signal is sent again; blocked in
    // this handler, it is taken as soon as the handler returns.
    if (info->si_code <= 0 || !IsFault(signalNumber)) raise(signalNumber);
    errno = savedErrno;
}

static void OnStopSignal(int, siginfo_t*, void*) {
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

static void OnContinueSignal(int, siginfo_t*, void*) {
    int savedErrno = errno;
    ApplyKeyMode();
    errno = savedErrno;
}

// Our handlers run one at a time, with every signal held (SIGTTOU among them, so that a
// background job can still put the terminal back).
static struct sigaction ActionFor(void (*handler)(int, siginfo_t*, void*)) {
    struct sigaction action = {};
    action.sa_sigaction = handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    return action;
}

static void ReplaceAction(int signalNumber, const struct sigaction& ours) {
    struct sigaction& previous = PreviousActions[signalNumber];
    // A signal ignored from the start (nohup, a background job of a script) stays ignored.
    Replaced[signalNumber] = sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN &&
                             sigaction(signalNumber, &ours, nullptr) == 0;
}

// Runs fn with every signal held on this thread.
static void WithSignalsHeld(void (*fn)()) {
    sigset_t held;
    sigset_t before;
    sigfillset(&held);
    pthread_sigmask(SIG_BLOCK, &held, &before);
    fn();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

static void BeginOnTerminal() {
    // A closed standard input stays closed for us, whatever later takes descriptor 0.
    if (fcntl(KeyInput, F_GETFD) == -1 && errno == EBADF) InputEnded = true;
    termios now;
    if (InputEnded || tcgetattr(KeyInput, &now) != 0) return;
    OwnGroup = getpgrp();
    StopAction = ActionFor(OnStopSignal);
    KeysBegun.store(1);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        if (EndsTheProcess(signalNumber)) ReplaceAction(signalNumber, ActionFor(OnEndingSignal));
    ReplaceAction(SIGTSTP, StopAction);
    ReplaceAction(SIGCONT, ActionFor(OnContinueSignal));
    // A read that a background job makes after all (Ctrl-Z and bg between its look and its
    // read) then fails, rather than stopping the alarm.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ReplaceAction(SIGTTIN, ignore);
    ApplyKeyMode();
}

static void EndOnTerminal() {
    KeysBegun.store(0);
    PutTerminalBack();
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (Replaced[signalNumber]) sigaction(signalNumber, &PreviousActions[signalNumber], nullptr);
        Replaced[signalNumber] = false;
    }
}

void BeginConsoleKeys() {
    if (KeysBegun.load() == 0) WithSignalsHeld(BeginOnTerminal);
}

void EndConsoleKeys() {
    WithSignalsHeld(EndOnTerminal);
}

// Whether the terminal is ours to read: only in the foreground job. Coming to the foreground
// needs no SIGCONT (bash's fg of a job that runs in the background sends none), so key mode
// is put back here.
static bool TerminalIsOurs() {
    if (!InForeground()) return false;
    if (KeyModeApplied.load() == 0) WithSignalsHeld(ApplyKeyMode);
    return true;
}

// Adds to Pending what standard input has within waitMs; false when nothing came.
static bool ReadMore(int waitMs) {
    if (InputEnded || PendingCount == PendingSize) return false;
    if (KeysBegun.load() != 0 && !TerminalIsOurs()) return false;
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
    // EIO in the background: the job went there after it looked, and SIGTTIN is ignored.
    bool wentToBackground = got < 0 && errno == EIO && KeysBegun.load() != 0 && !InForeground();
    if (got == 0 || (errno != EINTR && errno != EAGAIN && !wentToBackground)) InputEnded = true;
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
