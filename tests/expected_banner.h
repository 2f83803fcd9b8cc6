// The ten console strings the program greets with, as they must appear, in order.
#pragma once

inline const char* const ExpectedBanner =
    "###########################################\n"
    "#                                         #\n"
    "#   Quillbramble-sentry Test version 0.1  #\n"
    "#                  build 2006.12.13       #\n"
    "#                                         #\n"
    "###########################################\n"
    "\n"
    "Usage:\n"
    "   Home button  ... Quit\n"
    "\n";
