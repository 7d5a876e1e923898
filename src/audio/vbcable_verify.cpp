#include <windows.h>

#include "audio/vbcable.h"
#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"
#include "trust/signature.h"

int verify_vbcable_setup(const wchar_t* setup_path)
{
    // The same open and check as before a run, so that the verdict is the one a
    // run would get; the handle is let go right after the check.
    unique_handle setup;
    wchar_t image_path[PATH_CHARS];
    if (!open_vbcable_setup(setup_path, setup, image_path)) {
        log_line(L"VB-CABLE setup not found at %ls", setup_path);
        return 1;
    }
    return check_vbcable_signer(setup_path, image_path, setup.get()) ? 0 : 1;  // the check logs why it refuses
}
