// Process title: overwrites the memory of the command-line arguments (and of the
// environment strings that follow them) with a title shown in the process list.
// Called from the main thread at start-up, before other threads exist.
#pragma once

namespace corvel {

// Prepares the title area and records the program's directory, name and full path.
// Returns a copy of the argument vector to use from now on (the original strings
// get overwritten), or null with errno: EINVAL for unusable arguments or a second
// call, ENOMEM.
char** proc_title_init(int argc, char** argv);
// Writes "<program name>: " and the formatted text over the title area, cut at its
// end. A format starting with "-" writes no prefix; a null format writes the
// original first argument. 0, or -1 with errno.
int proc_title_set(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Recorded by proc_title_init; null before it.
const char* program_argv0();
const char* program_dir();
const char* program_name();
const char* program_full_path();
// path cleaned and, when relative or force is set, placed under the program
// directory; allocated with malloc for the caller to free, or null with errno.
char* program_relative_path(const char* path, bool force);

}  // namespace corvel
