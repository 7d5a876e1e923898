// The command line parser of the front end: fills the options record.
#pragma once

#include "base/setup_options.h"

// Fills the zero-filled record from arguments 2 and on (0 is the program, 1 the
// verb). Option names match exactly and case-sensitively; a value option takes
// the next argument whatever it looks like. Returns 0 for an unknown option, a
// bare word, a value option without a value or a ninth --prefix; logs nothing.
int parse_options(int argc, wchar_t** argv, setup_options* options);
