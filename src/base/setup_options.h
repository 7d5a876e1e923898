// Everything the command line gave, read by every flow, written only by the
// command line parser of the front end.
#pragma once

#include <cstdint>

#include "base/paths.h"

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
