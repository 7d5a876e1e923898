// A camera DLL of the tests' own, never shipped. By default it behaves as the
// Windows 11 camera must: DllRegisterServer writes both virtual-camera classes
// in the 64-bit view, pointing at the file it was loaded from, and
// DllUnregisterServer deletes them. Compile-time switches make the variants the
// tests need:
//   CAMERA_NO_REGISTER, CAMERA_NO_UNREGISTER   the export is missing
//   CAMERA_REGISTER_FAILS                      DllRegisterServer returns E_FAIL, writes nothing
//   CAMERA_UNREGISTER_FAILS                    DllUnregisterServer returns E_FAIL, deletes nothing
//   CAMERA_32BIT_VIEW_ONLY                     registers in the 32-bit view only
//   CAMERA_OTHER_PATH                          registers a path beside its own (".other" appended)
//   CAMERA_OTHER_CASE                          registers its own path with A-Z case swapped
//   CAMERA_VARIANT=n                           only changes the bytes (a "new version")
//   CAMERA_LARGE                               carries 32 MiB of constant data, as a camera DLL
//                                              with models and resources does (the benchmark's)
// When the environment variable MIRVO_TEST_CAMERA_RECORD names a file, each
// entry point appends "register PATH" or "unregister PATH" (UTF-8) to it.
#include <windows.h>

#include <cwchar>

#ifndef CAMERA_VARIANT
#define CAMERA_VARIANT 0
#endif

namespace {

HMODULE self_module = nullptr;

const wchar_t* CLASS_IDS[2] = {
    L"{3A91D6F0-5B27-4C8E-A1D3-6F0B2E94C7A5}",
    L"{B4E07C2D-9A16-4F53-8D2A-C71E5B3F0964}",
};

void record(const char* what, const wchar_t* path)
{
    wchar_t record_path[MAX_PATH * 4];
    DWORD n = GetEnvironmentVariableW(L"MIRVO_TEST_CAMERA_RECORD", record_path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return;
    HANDLE file = CreateFileW(record_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[4096];
    int head = static_cast<int>(strlen(what));
    memcpy(line, what, head);
    line[head++] = ' ';
    int body = WideCharToMultiByte(CP_UTF8, 0, path, -1, line + head, 4000, nullptr, nullptr);
    int length = head + (body > 0 ? body - 1 : 0);
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

DWORD own_path(wchar_t* path)
{
    DWORD n = GetModuleFileNameW(self_module, path, 1024);
    return n < 1024 ? n : 0;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) self_module = instance;
    return TRUE;
}

extern "C" __declspec(dllexport) int test_camera_variant() { return CAMERA_VARIANT; }

#ifdef CAMERA_LARGE
// Exported, so that the linker keeps it: 32 MiB in the file's read-only data.
extern "C" __declspec(dllexport) const unsigned char test_camera_large_data[32u << 20] = {1, 2, 3};
#endif

#ifndef CAMERA_NO_REGISTER
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t path[1024];
    if (own_path(path) == 0) return E_FAIL;
    record("register", path);
#ifdef CAMERA_REGISTER_FAILS
    return E_FAIL;
#else
#ifdef CAMERA_OTHER_PATH
    wcscat_s(path, 1024, L".other");
#endif
#ifdef CAMERA_OTHER_CASE
    for (wchar_t* c = path; *c != 0; ++c) {
        if (*c >= L'a' && *c <= L'z') *c = static_cast<wchar_t>(*c - L'a' + L'A');
        else if (*c >= L'A' && *c <= L'Z') *c = static_cast<wchar_t>(*c - L'A' + L'a');
    }
#endif
#ifdef CAMERA_32BIT_VIEW_ONLY
    REGSAM view = KEY_WOW64_32KEY;
#else
    REGSAM view = KEY_WOW64_64KEY;
#endif
    for (const wchar_t* class_id : CLASS_IDS) {
        wchar_t key_path[256];
        swprintf(key_path, 256, L"SOFTWARE\\Classes\\CLSID\\%ls\\InprocServer32", class_id);
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            return E_ACCESSDENIED;
        }
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                       static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 10);
        RegCloseKey(key);
    }
    return S_OK;
#endif
}
#endif

#ifndef CAMERA_NO_UNREGISTER
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    wchar_t path[1024];
    if (own_path(path) == 0) return E_FAIL;
    record("unregister", path);
#ifdef CAMERA_UNREGISTER_FAILS
    return E_FAIL;
#else
    HKEY root = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      &root) != ERROR_SUCCESS) {
        return S_OK;
    }
    for (const wchar_t* class_id : CLASS_IDS) RegDeleteTreeW(root, class_id);
    RegCloseKey(root);
    return S_OK;
#endif
}
#endif
