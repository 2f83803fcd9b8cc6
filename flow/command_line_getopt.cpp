// The command line read by getopt_long, as Linux programs read theirs.
#include <getopt.h>

#include <cstdio>

#include "command_line.h"
#include "fall_detection.h"

static const char Usage[] =
    "Usage: quillbramble-sentry [--worn]\n"
    "A fall alarm made of a Wii Remote: plays others_05.wav, from the current folder, when it hears a fall.\n"
    "\n"
    "      --worn     the remote is worn by a person, on a belt or in a trouser pocket: sound when\n"
    "                 the person falls, rather than when the remote itself drops\n"
    "      --help     show this help and exit\n"
    "      --version  show the name and version and exit\n"
    "\n"
    "Home on the remote, or ESC at the console, quits.\n";

int32_t ReadCommandLine(int argc, char** argv) {
    enum { Worn = 1, Help, Version };
    static const option Options[] = {
        {"worn", no_argument, nullptr, Worn},
        {"help", no_argument, nullptr, Help},
        {"version", no_argument, nullptr, Version},
        {nullptr, 0, nullptr, 0},
    };
    ActiveFallRule = FallRule::FreeFall;
    if (argc < 1) return KeepRunning;
    opterr = 0;  // the error is told below, in the program's own name
    optind = 0;  // from the start, also when read again
    for (int option; (option = getopt_long(argc, argv, "", Options, nullptr)) != -1;) {
        switch (option) {
        case Worn: ActiveFallRule = FallRule::Worn; break;
        case Help: std::fputs(Usage, stdout); return 0;
        case Version: std::puts("quillbramble-sentry 0.1"); return 0;
        default:
            std::fprintf(stderr, "quillbramble-sentry: invalid option '%s'\n%s", argv[optind - 1], Usage);
            return BadUsageStatus;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "quillbramble-sentry: unexpected argument '%s'\n%s", argv[optind], Usage);
        return BadUsageStatus;
    }
    return KeepRunning;
}
