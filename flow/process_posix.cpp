// The process on POSIX: descriptors, SIGPIPE, and the signal mask that a new thread takes
// over from the thread that starts it.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "process.h"

static sigset_t MaskBefore;  // the main thread's, while it starts threads

void SetUpProcess() {
    // open takes the lowest free descriptor: the closed one, those below it being open by now.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
    signal(SIGPIPE, SIG_IGN);
}

void BeginStartingThreads() {
    sigset_t fromOutside;
    sigfillset(&fromOutside);
    // Blocked in the thread that makes it, a fault would end the process without its handler.
    const int faults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT};
    for (int fault : faults) sigdelset(&fromOutside, fault);
    pthread_sigmask(SIG_BLOCK, &fromOutside, &MaskBefore);
}

void EndStartingThreads() {
    pthread_sigmask(SIG_SETMASK, &MaskBefore, nullptr);
}
