// The least a camera install must do, as a process of its own: the benchmark's
// floor. It verifies each DLL once through an open handle (WinVerifyTrust, no
// revocation, nothing fetched), copies it when the state is "fresh", and for the
// Windows 11 camera loads the placed DLL and calls its DllRegisterServer. The
// DirectShow path writes nothing: the keys are not part of the floor.
//
//   bench_floor.exe vcam  fresh|in-place SOURCE TARGET
//   bench_floor.exe dshow fresh|in-place SOURCE64 TARGET64 SOURCE32 TARGET32
//
// Exit status 0 when every step succeeded, 1 otherwise. Not a test, never shipped.
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>

#include <cwchar>

namespace {

// One verification of the file read through file, its state released at once.
bool verify_through(HANDLE file, const wchar_t* path)
{
    WINTRUST_FILE_INFO file_info = {};
    file_info.cbStruct = sizeof(file_info);
    file_info.pcwszFilePath = path;
    file_info.hFile = file;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file_info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(nullptr, &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
    return status == 0;
}

// Verifies the DLL at source (in place: at target) and, when fresh, copies it to target.
bool verify_and_place(bool fresh, const wchar_t* source, const wchar_t* target)
{
    const wchar_t* checked = fresh ? source : target;
    HANDLE file = CreateFileW(checked, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool valid = verify_through(file, checked);
    CloseHandle(file);
    if (!valid) return false;
    return !fresh || CopyFileW(source, target, FALSE);
}

bool register_dll(const wchar_t* path)
{
    HMODULE dll = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll == nullptr) return false;
    using entry_point = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<entry_point>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllRegisterServer")));
    bool registered = entry != nullptr && SUCCEEDED(entry());
    FreeLibrary(dll);
    return registered;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) return 2;
    bool fresh = wcscmp(argv[2], L"fresh") == 0;
    if (wcscmp(argv[1], L"vcam") == 0) {
        return verify_and_place(fresh, argv[3], argv[4]) && register_dll(argv[4]) ? 0 : 1;
    }
    if (wcscmp(argv[1], L"dshow") == 0 && argc >= 7) {
        return verify_and_place(fresh, argv[3], argv[4]) && verify_and_place(fresh, argv[5], argv[6]) ? 0 : 1;
    }
    return 2;
}
