#include <windows.h>

#include "audio/vbcable.h"
#include "audio/vbcable_constants.h"
#include "base/paths.h"
#include "log/log.h"

namespace {

// The setup program's exit code decides nothing: only the driver's file does.
int judge_install(DWORD exit_code)
{
    if (vbcable_present()) {
        log_line(L"VB-CABLE installed (exit %lu)", exit_code);
        return 1;
    }
    log_line(L"VB-CABLE reported exit %lu but the driver is not present", exit_code);
    return 0;
}

}  // namespace

int vbcable_present()
{
    wchar_t program_files[PATH_CHARS];
    if (!known_folder_path(FOLDERID_ProgramFiles, program_files)) return 0;
    wchar_t presence[PATH_CHARS];
    if (!join_path(presence, program_files, VBCABLE_PRESENCE_PATH)) return 0;
    return GetFileAttributesW(presence) != INVALID_FILE_ATTRIBUTES;
}

int install_vbcable(const wchar_t* setup_path)
{
    if (vbcable_present()) {
        log_line(L"VB-CABLE already installed; skipping");
        return 1;
    }
    static const vbcable_setup_run install = {
        VBCABLE_INSTALL_ARGUMENTS,
        L"VB-CABLE setup not found at %ls",
        L"refusing to run it elevated",
        L"installing VB-CABLE",
        judge_install,
    };
    return run_vbcable_setup(setup_path, install);
}
