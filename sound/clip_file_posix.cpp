// The clip's file on POSIX: opened non-blocking, so that neither the open nor a read waits
// for a writer, and never made the controlling terminal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "clip_file.h"

int32_t OpenClipFile(const char* name) {
    return open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

uint32_t ReadClipFile(int32_t file, uint8_t* into, uint32_t maxBytes) {
    uint32_t read = 0;
    while (read < maxBytes) {
        ssize_t got = ::read(file, into + read, maxBytes - read);
        if (got > 0) {
            read += uint32_t(got);
        } else if (got == 0 || errno != EINTR) {
            break;  // the end, or nothing more now (EAGAIN), or an error
        }
    }
    return read;
}

void CloseClipFile(int32_t file) {
    close(file);
}
