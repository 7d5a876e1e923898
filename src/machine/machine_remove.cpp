#include <windows.h>

#include "audio/vbcable.h"
#include "audio/vbcable_constants.h"
#include "camera/camera.h"
#include "base/paths.h"
#include "log/log.h"
#include "machine/machine.h"

namespace {

// Only the driver's file tells whether the removal worked; the exit code is reported.
int judge_removal(DWORD exit_code)
{
    if (vbcable_present()) {
        log_line(L"VB-CABLE reported exit %lu but the driver is still present", exit_code);
        return 0;
    }
    log_line(L"VB-CABLE removed (exit %lu)", exit_code);
    return 1;
}

// Runs VB-Audio's setup program from the install folder with the removal
// arguments, after the same checks as an install, when the driver is there.
void remove_vbcable_driver(const wchar_t* install_dir)
{
    wchar_t setup[PATH_CHARS];
    // An empty install folder leaves the relative payload path, read against the current folder.
    if (!join_path(setup, install_dir, VBCABLE_PAYLOAD_PATH)) return;
    if (!vbcable_present()) {
        log_line(L"VB-CABLE is not installed; nothing to remove");
        return;
    }
    static const vbcable_setup_run removal = {
        VBCABLE_REMOVE_ARGUMENTS,
        L"VB-CABLE setup not found at %ls; the driver was left in place",
        L"refusing to run it elevated; the driver was left in place",
        L"removing VB-CABLE",
        judge_removal,
    };
    run_vbcable_setup(setup, removal);  // it logs every outcome
}

}  // namespace

int machine_remove(const setup_options* options)
{
    log_line(L"-------- MIRVO elevated removal --------");
    remove_camera();  // it logs what it removed and what stayed
    remove_firewall_rules();
    if (!options->remove_vbcable) {
        log_line(L"VB-CABLE: kept (the uninstaller was told to keep it)");
    } else {
        remove_vbcable_driver(options->install_dir);
    }
    log_line(L"uninstall done");
    return 0;
}
