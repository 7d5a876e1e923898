#include <windows.h>

#include "audio/vbcable.h"
#include "audio/vbcable_constants.h"
#include "camera/camera.h"
#include "fs/paths.h"
#include "log/log.h"
#include "machine/machine.h"

namespace {

// WIP: replaced by the shared open-check-run routine of the audio driver.
void remove_vbcable_driver(const wchar_t*) {}

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
