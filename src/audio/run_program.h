// Running an outside program (VB-CABLE's setup program) to its end, with a time
// limit, from the very file that was checked.
#pragma once

#include <windows.h>

// Code units in the command-line buffer, terminator included: at most 2047 are written.
constexpr size_t COMMAND_LINE_CHARS = 2048;

// The loader policy the program is started with: System32's copy of a DLL wins
// over one of the same name beside the program, and no image is loaded from a
// remote location. One 64-bit value, handed over as 8 bytes.
constexpr DWORD64 SETUP_LOADER_POLICY = PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON |
                                        PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_REMOTE_ALWAYS_ON;

// Starts the program as its own process and waits up to timeout_ms for it.
// path is the program's path as the caller was given it: the command line is
// "\"path\" arguments" (cut to 2047 units) and every message names it.
// image_path (a path buffer) is the file that is started, normally the final
// path of the checked file the caller holds open; its text up to the last
// backslash (a path without one unchanged) is the working folder. The process
// gets CREATE_NO_WINDOW, no inherited handles, the caller's environment and
// SETUP_LOADER_POLICY; where Windows refuses the policy (87 or 50) it is started
// once more without it. Nonzero when it started and ended within the limit;
// *exit_code is then its exit code, and is left alone otherwise (also when the
// code cannot be read). A program that outlives the limit keeps running; both
// its handles are closed. Logs "%ls started without the DLL search hardening
// (%lu)", "%ls could not be started (%lu)" and "%ls did not finish within %lu s".
int run_and_wait(const wchar_t* path, const wchar_t* image_path, const wchar_t* arguments, DWORD timeout_ms,
                 DWORD* exit_code);

// The two calls that hand the loader policy to Windows, which only a test
// replaces: Wine accepts the policy and then ignores it, so what was handed over
// can be seen only here.
using update_attribute_call = decltype(&UpdateProcThreadAttribute);
using create_process_call = decltype(&CreateProcessW);
extern update_attribute_call update_proc_thread_attribute;
extern create_process_call create_process;
