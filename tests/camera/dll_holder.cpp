// dll_holder.exe READY_FILE DLL...: loads each DLL with LoadLibraryW, as an app
// that opened the camera would, writes READY_FILE once all are loaded and then
// runs until it is ended. Test only, never shipped. Exits 3 when a DLL does not
// load (READY_FILE is then not written).
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 2;
    for (int i = 2; i < argc; ++i) {
        if (LoadLibraryW(argv[i]) == nullptr) return 3;
    }
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
