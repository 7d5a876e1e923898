// Stopping and relaunching the app.
#pragma once

#include "base/setup_options.h"

// True when image_path lies below one of the first prefix_count prefixes:
// the prefix (trailing separators aside) followed by a backslash or a slash,
// ignoring the case of A to Z. A path equal to a prefix folder is not below
// it, and a prefix matches whole folder names only. False with no prefix.
bool image_under_prefix(const wchar_t* image_path, const setup_options* options);

// Posts the registered message "MIRVO.ExitForUninstall" to every top-level
// window of each "mirvo.exe" running under the prefixes (at most 64 of them,
// never this program itself) and waits up to 15 s for those that got a post.
// Logs one line when someone was asked; returns how many were asked (0 also
// when the message or the process list is not available).
unsigned long ask_app_to_exit(const setup_options* options);

// stop-app: asks the app under the prefixes to exit, then terminates what is
// left of "python.exe", "pythonw.exe", "mirvo.exe" and "mirvo_vcam_host.exe"
// under them (never this program), and logs how many were ended. Returns the
// exit status: 0, or 1 when the process list cannot be read (nothing logged).
int stop_app(const setup_options* options);

// relaunch: starts the app named by environment variables, after the process
// wait_pid has ended (at most 2 minutes). Returns the exit status: 0 started,
// 1 not started, 2 no usable program path. Logs nothing on any path.
int relaunch_app(const setup_options* options);
