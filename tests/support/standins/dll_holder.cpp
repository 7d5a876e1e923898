// dll_holder.exe READY_FILE DLL...: loads each DLL with LoadLibraryW, as an app
// that opened the camera would, writes READY_FILE once all are loaded and then
// runs until it is ended. Test only, never shipped. Exits 3 when a DLL does not
// load (READY_FILE is then not written).
// dll_holder.exe READY_FILE --open FILE...: opens each file for reading, shared
// for reading only, instead: neither a rename nor a deletion can take it then.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 2;
    bool open_only = lstrcmpW(argv[2], L"--open") == 0;
    for (int i = open_only ? 3 : 2; i < argc; ++i) {
        if (open_only) {
            HANDLE file = CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return 3;
        } else if (LoadLibraryW(argv[i]) == nullptr) {
            return 3;
        }
    }
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
