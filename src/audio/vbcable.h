// The VB-CABLE virtual audio driver, installed by its vendor's signed setup program.
#pragma once

#include <windows.h>

#include "base/owners.h"

// Nonzero when VBCABLE_PRESENCE_PATH exists under the Program Files folder
// (anything of that name, a folder too). Logs nothing.
int vbcable_present();

// vbcable-verify: 0 when the setup program at setup_path may be run, 1 when it
// is missing or refused (the reason is logged). Never runs it.
int verify_vbcable_setup(const wchar_t* setup_path);

// vbcable-install: nonzero when VB-CABLE is installed at the end, before or by
// this call. Already installed: logs "VB-CABLE already installed; skipping" and
// never opens the setup program. Otherwise runs it with
// VBCABLE_INSTALL_ARGUMENTS through run_vbcable_setup and judges the run by the
// presence file alone.
int install_vbcable(const wchar_t* setup_path);

// Opens the setup program at setup_path for reading, shared for reading only, so
// that nobody can write, rename or delete it while file is held, and gives the
// file's final path as image_path (a path buffer): the path that still names the
// opened file when a folder link on the way is pointed elsewhere. Fails, logging
// nothing and holding nothing, when the file cannot be opened or its final path
// cannot be had, is of another form than a drive or a share, or does not fit.
int open_vbcable_setup(const wchar_t* setup_path, unique_handle& file, wchar_t* image_path);

// Turns a final path as GetFinalPathNameByHandleW gives it into the path a
// program is started from: "\\?\C:\..." without its prefix, "\\?\UNC\server\..."
// as "\\server\...". Fails for any other form and when the result would not fit
// a path buffer; destination (a path buffer) is then empty.
int image_path_from_final_path(const wchar_t* final_path, wchar_t* destination);

// Nonzero when image_path (as image_path_from_final_path gives it) lies on a
// local disk: not a "\\server\share" path, and on a volume whose drive type is
// known and not DRIVE_REMOTE (the volume root from GetVolumePathNameW). Logs nothing.
int image_on_local_disk(const wchar_t* image_path);

// What one run of the setup program is for: its arguments and the caller's own
// lines. Each message is logged as it stands, not_found_message with the path as
// given for its one "%ls".
struct vbcable_setup_run {
    const wchar_t* arguments;          // VBCABLE_INSTALL_ARGUMENTS or VBCABLE_REMOVE_ARGUMENTS
    const wchar_t* not_found_message;  // the setup program cannot be opened
    const wchar_t* refused_message;    // after the signer check's own refusal
    const wchar_t* starting_message;   // right before the start
    // After a run that ended within VBCABLE_RUN_TIMEOUT_MS: logs the outcome
    // (the presence file decides, the exit code is only reported) and gives the result.
    int (*judge)(DWORD exit_code);
};

// Opens the setup program (open_vbcable_setup), refuses one that is not on a
// local disk ("VB-CABLE setup at %ls is not on a local disk - refusing to run it
// elevated", and nothing more is logged), checks its signer through its
// final path and the open handle, and runs it with run.arguments from that final
// path (run_and_wait, exit code preset to 0), holding the file open from before
// the check until the run has ended and been judged. The command line and every
// message name setup_path as given. Gives run.judge's result, or 0 when the file
// is not found, is refused, or the run fails or outlives its limit (each logged).
int run_vbcable_setup(const wchar_t* setup_path, const vbcable_setup_run& run);
