#include <windows.h>

#include "audio/vbcable.h"
#include "log/log.h"
#include "owners.h"
#include "trust/signature.h"

int verify_vbcable_setup(const wchar_t* setup_path)
{
    // Shared for reading only: while the check runs nobody can write, rename or
    // delete the file, so the verdict is about the file that stays there.
    unique_handle setup(CreateFileW(setup_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!setup) {
        log_line(L"VB-CABLE setup not found at %ls", setup_path);
        return 1;
    }
    return check_vbcable_signer(setup_path, setup.get()) ? 0 : 1;  // the check logs why it refuses
}
