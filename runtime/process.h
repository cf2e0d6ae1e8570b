// The process entry point shared by both daemons.
#pragma once

#include "runtime/result.h"

namespace fenra {

using MainRoutine = Result<void> (*)(int argc, char** argv);

// Opens /dev/null on any closed standard descriptor, ignores SIGPIPE, installs the crash reporter for SIGSEGV, SIGILL, SIGBUS and
// SIGFPE, runs main_routine and returns the exit status: 0 on success; on an
// error, 1 after the line "error(default): NAME" with the bare error name.
int run_main(MainRoutine main_routine, int argc, char** argv);

// Writes "panic: " and the message with a stack trace to standard error and
// aborts. For violated internal invariants only, never for an orderly stop.
[[noreturn]] void panic(const char* message);

}  // namespace fenra
