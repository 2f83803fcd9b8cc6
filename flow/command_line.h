// The command line: the options the program takes, and what each does to the run.
#pragma once
#include <cstdint>

constexpr int32_t KeepRunning = -1;
constexpr int32_t BadUsageStatus = 2;

// Reads the arguments. Returns KeepRunning with the detection rule they choose in force; or,
// for --help, --version or an argument the program does not take, writes what it must (on
// standard output, or the error and the usage on standard error) and returns the exit status.
int32_t ReadCommandLine(int argc, char** argv);
