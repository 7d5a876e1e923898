// Runs check_same_signer from its own file: the tests sign a copy of this
// program, so "the running program" is signed or unsigned as the test needs.
//   same_signer_probe.exe DLL LOG
//   -> 0 accepted, 1 refused, 2 bad arguments, 3 the DLL cannot be opened
// It holds its own image first and opens the DLL once, as the camera flows do.
#include <windows.h>

#include <cwchar>

#include "base/owners.h"
#include "log/log.h"
#include "trust/own_image.h"
#include "trust/signature.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 || wcslen(argv[2]) >= PATH_CHARS) return 2;
    wcscpy_s(log_path, PATH_CHARS, argv[2]);
    hold_own_image();
    unique_handle dll(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!dll) return 3;
    return check_same_signer(argv[1], dll.get()) ? 0 : 1;
}
