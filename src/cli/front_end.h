// From the split command line to the exit status: log choice, elevation gate,
// one flow per verb.
#pragma once

#include "cli/options.h"

enum exit_status {
    STATUS_DONE = 0,
    STATUS_FAILED = 1,
    STATUS_BAD_ARGUMENTS = 2,
    STATUS_NOT_ELEVATED = 3,
};

// Runs the program on an argument vector (0 the program, 1 the verb) and returns
// the exit status. Writes no log line of its own.
int run_front_end(int argc, wchar_t** argv);

// Whether --log may name path: never when its last component is a DOS device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9 and COM or LPT with a superscript
// 1, 2 or 3; with or without an extension, trailing dots and spaces stripped);
// for an elevated verb only when the name, trailing dots and spaces stripped,
// ends in ".log" (A to Z folded) and its last component names no stream.
int log_file_allowed(const wchar_t* path, bool elevated_verb);

// Chooses the log file for verb into destination: --log when log_file_allowed
// takes it (when it does not, nowhere), else a file in temp_folder (empty when
// there is none) or, for machine-setup with an existing install folder, in that
// folder. Leaves destination empty when none can be had.
void choose_log_path(const wchar_t* verb, const setup_options* options, const wchar_t* temp_folder,
                     wchar_t* destination);

// Nonzero when the process token is elevated; 0 also when that cannot be read.
int token_is_elevated();

// Runs the flow bound to verb and returns its exit status (2 for an unknown verb).
int dispatch_verb(const wchar_t* verb, const setup_options* options);
