// Everything the command line gave, read by every flow, written only by parse_options.
#pragma once

#include <cstdint>

#include "fs/paths.h"

constexpr int MAX_PREFIXES = 8;
constexpr size_t NONCE_CHARS = 128;
constexpr size_t ENV_NAME_CHARS = 64;

// A text field counts as given when its first character is not 0.
struct setup_options {
    wchar_t install_dir[PATH_CHARS];
    wchar_t vcam_dir[PATH_CHARS];
    wchar_t dshow_dir[PATH_CHARS];
    wchar_t setup_path[PATH_CHARS];
    wchar_t nonce[NONCE_CHARS];
    wchar_t log_file[PATH_CHARS];
    wchar_t prefixes[MAX_PREFIXES][PATH_CHARS];
    int32_t prefix_count;
    uint32_t no_camera;
    uint32_t no_vbcable;
    uint32_t wait_for_files;
    uint32_t remove_vbcable;
    uint32_t setup_pid;
    uint32_t wait_pid;
    wchar_t exe_env[ENV_NAME_CHARS];
    wchar_t args_env[ENV_NAME_CHARS];
    wchar_t fallback_env[ENV_NAME_CHARS];
    wchar_t cwd[PATH_CHARS];
};

// Fills the zero-filled record from arguments 2 and on (0 is the program, 1 the
// verb). Option names match exactly and case-sensitively; a value option takes
// the next argument whatever it looks like. Returns 0 for an unknown option, a
// bare word, a value option without a value or a ninth --prefix; logs nothing.
int parse_options(int argc, wchar_t** argv, setup_options* options);
