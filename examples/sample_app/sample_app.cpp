// A sample MIRVO app for the reference installer: installed as "mirvo.exe" beside
// mirvo_machine.exe, never shipped. It shows the two things the real app owes
// mirvo_machine.exe, and writes what it does to "mirvo_sample_app.log" in the
// temporary folder (the uninstaller takes the install folder away):
//
//   mirvo.exe --update        plays the app after it has put an update in place:
//                             it hands its restart to mirvo_machine.exe relaunch
//                             and exits at once, so its files are free.
//   mirvo.exe --relaunched PID
//                             the restarted app: it notes whether process PID (the
//                             one that asked for the restart) was gone by then,
//                             then keeps a top-level window until it is asked to
//                             exit ("MIRVO.ExitForUninstall", sent by stop-app) or
//                             10 minutes pass.
//   mirvo.exe                 the app as a user (or Setup's /RELAUNCH) starts it:
//                             it notes "started: process N" and keeps a window
//                             the same way.
#include <windows.h>

#include <cwchar>

namespace {

constexpr DWORD RUN_LIMIT_MS = 10 * 60 * 1000;

wchar_t folder[MAX_PATH];
wchar_t log_path[MAX_PATH + 32];
UINT exit_message = 0;

// Appends one UTF-8 line to the log.
void note(const wchar_t* text)
{
    if (log_path[0] == L'\0') return;
    HANDLE file = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char line[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, line, sizeof(line) - 2, nullptr, nullptr);
    if (n > 0) {
        line[n - 1] = '\r';
        line[n] = '\n';
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(n + 1), &written, nullptr);
    }
    CloseHandle(file);
}

// After an update: name the new program in environment variables, start
// "mirvo_machine.exe relaunch" (not elevated: it inherits this process's token)
// telling it to wait for this process, and exit.
int hand_over_restart()
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    wchar_t arguments[64];
    swprintf(arguments, 64, L"--relaunched %lu", GetCurrentProcessId());
    // The variable names are the app's choice; relaunch reads them by name.
    SetEnvironmentVariableW(L"MIRVO_EXE", self);
    SetEnvironmentVariableW(L"MIRVO_ARGS", arguments);

    wchar_t machine[MAX_PATH + 32];
    swprintf(machine, MAX_PATH + 32, L"%ls\\mirvo_machine.exe", folder);
    // No value ends with a backslash, so no closing quote is escaped.
    wchar_t command[3 * MAX_PATH];
    swprintf(command, 3 * MAX_PATH,
             L"\"%ls\" relaunch --exe-env MIRVO_EXE --args-env MIRVO_ARGS --cwd \"%ls\" --wait-pid %lu", machine,
             folder, GetCurrentProcessId());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(machine, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process)) {
        wchar_t text[128];
        swprintf(text, 128, L"update: could not start mirvo_machine.exe relaunch (%lu)", GetLastError());
        note(text);
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    wchar_t text[128];
    swprintf(text, 128, L"update: process %lu handed its restart to mirvo_machine.exe relaunch and exits",
             GetCurrentProcessId());
    note(text);
    return 0;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == exit_message && exit_message != 0) {
        note(L"app: asked to exit (MIRVO.ExitForUninstall); exiting");
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Keeps a top-level window until stop-app's message comes or 10 minutes pass;
// notes TEXT once the window is there.
int run_window(const wchar_t* text)
{
    exit_message = RegisterWindowMessageW(L"MIRVO.ExitForUninstall");
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"MirvoSampleApp";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, window_class.lpszClassName, L"MIRVO sample app", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                  100, nullptr, nullptr, window_class.hInstance, nullptr);
    note(text);
    if (window == nullptr) return 1;
    SetTimer(window, 1, RUN_LIMIT_MS, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) {
            note(L"app: nobody asked it to exit within 10 minutes; exiting");
            break;
        }
        DispatchMessageW(&message);
    }
    return 0;
}

int run_relaunched(DWORD previous)
{
    // The process that asked for the restart must be gone before this one runs.
    HANDLE old = OpenProcess(SYNCHRONIZE, FALSE, previous);
    bool gone = old == nullptr || WaitForSingleObject(old, 0) == WAIT_OBJECT_0;
    if (old != nullptr) CloseHandle(old);
    wchar_t text[160];
    swprintf(text, 160, L"relaunched: process %lu started; the previous process %lu %ls", GetCurrentProcessId(),
             previous, gone ? L"had ended" : L"was STILL RUNNING");
    return run_window(text);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command_line, int)
{
    DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    *wcsrchr(folder, L'\\') = L'\0';
    wchar_t temp[MAX_PATH];
    DWORD temp_length = GetTempPathW(MAX_PATH, temp);
    if (temp_length > 0 && temp_length < MAX_PATH) {
        swprintf(log_path, MAX_PATH + 32, L"%lsmirvo_sample_app.log", temp);
    }

    if (wcsncmp(command_line, L"--update", 8) == 0) return hand_over_restart();
    if (wcsncmp(command_line, L"--relaunched ", 13) == 0) return run_relaunched(wcstoul(command_line + 13, nullptr, 10));
    if (command_line[0] == L'\0') {
        wchar_t text[64];
        swprintf(text, 64, L"started: process %lu", GetCurrentProcessId());
        return run_window(text);
    }
    note(L"usage: mirvo.exe [--update | --relaunched PID]");
    return 2;
}
