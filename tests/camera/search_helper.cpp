// A small DLL that search_camera.dll imports by name, built twice under the same
// file name: the copy meant to lie beside the camera DLL and a planted one. Test
// only, never shipped. When MIRVO_TEST_CAMERA_RECORD names a file, loading it
// appends "helper PATH" (UTF-8) there, so a test sees which copy was loaded.
#include <windows.h>

namespace {

void record_load(HMODULE self)
{
    wchar_t record_path[1024];
    DWORD n = GetEnvironmentVariableW(L"MIRVO_TEST_CAMERA_RECORD", record_path, 1024);
    if (n == 0 || n >= 1024) return;
    wchar_t own[1024];
    DWORD length = GetModuleFileNameW(self, own, 1024);
    if (length == 0 || length >= 1024) return;
    char line[4096] = "helper ";
    int body = WideCharToMultiByte(CP_UTF8, 0, own, -1, line + 7, 4000, nullptr, nullptr);
    if (body <= 0) return;
    int total = 7 + body - 1;
    line[total++] = '\n';
    HANDLE file = CreateFileW(record_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(total), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) record_load(instance);
    return TRUE;
}

// Which copy this is: SEARCH_HELPER_MARK, a non-negative HRESULT.
extern "C" __declspec(dllexport) HRESULT search_helper_mark() { return SEARCH_HELPER_MARK; }
