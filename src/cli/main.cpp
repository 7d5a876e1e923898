#include <windows.h>
#include <shellapi.h>

#include "cli/front_end.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // An elevated run must never pick up a DLL planted beside it: whatever is
    // loaded at run time comes from System32 only.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // The runtime's own split differs from the shell's; callers quote for the shell.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return STATUS_BAD_ARGUMENTS;
    int status = run_front_end(argc, argv);
    LocalFree(argv);
    return status;
}
