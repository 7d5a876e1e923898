// Runs check_same_signer from its own file: the tests sign a copy of this
// program, so "the running program" is signed or unsigned as the test needs.
//   same_signer_probe.exe DLL LOG  ->  0 accepted, 1 refused, 2 bad arguments
#include <windows.h>

#include <cwchar>

#include "log/log.h"
#include "trust/signature.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3 || wcslen(argv[2]) >= PATH_CHARS) return 2;
    wcscpy_s(log_path, PATH_CHARS, argv[2]);
    return check_same_signer(argv[1]) ? 0 : 1;
}
