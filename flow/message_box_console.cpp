// Messages on a console: the text on standard error, acknowledged with Enter when someone
// is at a terminal to press it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "message_box.h"

void ShowNotice(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

void ShowMessage(const char* text) {
    ShowNotice(text);
    if (!isatty(STDIN_FILENO)) return;
    std::fputs("Press Enter to continue.\n", stderr);
    char byte = 0;
    ssize_t got;
    while ((got = read(STDIN_FILENO, &byte, 1)) != 0 && byte != '\n')
        if (got < 0 && errno != EINTR) break;
}
