// app_standin.exe VERB [ARGUMENT]: plays the app's processes for the tests,
// copied under the names the program looks for. Test only, never shipped.
//   window-app [FILE]           a top-level window; on "MIRVO.ExitForUninstall"
//                               appends "asked" to FILE and exits with 42
//   window-app-ignoring [FILE]  the same window, but it keeps running when asked
//   no-window                   runs until ended, without any window
//   wait [MS]                   runs MS milliseconds (without MS until ended), exits 0
// Whatever the verb: when the variable MIRVO_STANDIN_RECORD names a folder, the
// stand-in writes its command line, current folder and start time into the file
// "<process id>.record" there (one UTF-8 line each, the time as a FILETIME
// number) and exits 0 at once.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "standin_files.h"

namespace {

constexpr int EXIT_WHEN_ASKED = 42;

UINT exit_message = 0;
bool exit_when_asked = true;
const wchar_t* asked_file = nullptr;

// Written under a temporary name and renamed, so a test never reads half a record.
int record(const std::wstring& folder)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long time = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    std::string text = utf8(GetCommandLineW()) + "\n" + utf8(current_folder()) + "\n" + std::to_string(time) + "\n";
    std::wstring name = folder + L"\\" + std::to_wstring(GetCurrentProcessId());
    return publish(name + L".partial", name + L".record", text) ? 0 : 3;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == exit_message && exit_message != 0) {
        if (asked_file != nullptr) append_text(asked_file, "asked\n");
        if (exit_when_asked) PostQuitMessage(EXIT_WHEN_ASKED);
        return 0;
    }
    return DefWindowProcW(window, message, w, l);
}

int window_app(bool exits, const wchar_t* file)
{
    exit_when_asked = exits;
    asked_file = file;
    exit_message = RegisterWindowMessageW(L"MIRVO.ExitForUninstall");
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"mirvo_standin_window";
    if (!RegisterClassW(&window_class)) return 4;
    HWND window = CreateWindowExW(0, window_class.lpszClassName, L"MIRVO stand-in", WS_OVERLAPPEDWINDOW, 0, 0,
                                  100, 100, nullptr, nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) return 4;
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return got == 0 ? static_cast<int>(message.wParam) : 4;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t record_file[1024];
    DWORD length = GetEnvironmentVariableW(L"MIRVO_STANDIN_RECORD", record_file, 1024);
    if (length > 0 && length < 1024) return record(record_file);

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) return 2;
    std::wstring verb = argv[1];
    const wchar_t* argument = argc > 2 ? argv[2] : nullptr;
    if (verb == L"window-app") return window_app(true, argument);
    if (verb == L"window-app-ignoring") return window_app(false, argument);
    if (verb == L"no-window") {
        Sleep(INFINITE);
        return 0;
    }
    if (verb == L"wait") {
        Sleep(argument != nullptr ? wcstoul(argument, nullptr, 10) : INFINITE);
        return 0;
    }
    return 2;
}
