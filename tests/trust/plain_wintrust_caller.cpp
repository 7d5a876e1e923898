// The control for the planted-DLL tests: a program that imports wintrust.dll the
// usual way, so Windows looks for it in the program's own folder first.
//   plain_wintrust_caller.exe FILE  ->  0 when WinVerifyTrust accepts FILE, else 1
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 2;
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = argv[1];
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(nullptr, &action, &data) == 0 ? 0 : 1;
}
