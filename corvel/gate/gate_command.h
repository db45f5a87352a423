// The gate program's command line, which spawn.cpp writes and the gate program
// reads:
//
//   PROGRAM HOLD LIMIT CLOSE SHELL_ARGV0 [SHELL_ARG...]
//
// HOLD: kHold to wait at the gate on descriptor kGateFd until the go comes,
// anything else to go on at once. LIMIT: the soft descriptor limit to set, or
// kNone. CLOSE: the first descriptor to close, with every one above it, or kNone.
// Then kShell runs with the arguments from SHELL_ARGV0 on.
#pragma once

namespace corvel {
namespace gate {

enum Arg { kHoldArg = 1, kLimitArg, kCloseArg, kShellArgv };

constexpr char kHold[] = "hold";
constexpr char kNone[] = "-";
constexpr int kGateFd = 3;
// The byte that lets a process at its gate go on.
constexpr char kGo = 1;
constexpr char kShell[] = "/bin/sh";
// The exit code of a gate program that could not run the shell, as a shell exits
// that cannot run its command.
constexpr int kNotRun = 127;

}  // namespace gate
}  // namespace corvel
