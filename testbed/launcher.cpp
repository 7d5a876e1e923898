// mirvo_launch.exe --elevated|--unelevated PROGRAM [ARGUMENT...]
// Starts PROGRAM the way the installer or the app would, waits for it and ends
// with its exit status. --unelevated starts it with the linked, non-elevated
// token (Wine runs everything elevated otherwise). Test bed only, never shipped.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "support/quote_argument.h"
#include "support/start_process.h"

namespace {

HANDLE non_elevated_token()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &size);
    CloseHandle(token);
    if (!ok) return nullptr;
    HANDLE primary = nullptr;
    DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
    return primary;
}

}  // namespace

int wmain()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3) return 125;
    std::wstring mode = argv[1];
    if (mode != L"--elevated" && mode != L"--unelevated") return 125;
    std::wstring program = argv[2];
    std::wstring command_line = quoted(program);
    for (int i = 3; i < argc; ++i) command_line += L" " + quoted(argv[i]);
    LocalFree(argv);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    HANDLE token = nullptr;
    if (mode == L"--unelevated") {
        token = non_elevated_token();
        if (token == nullptr) return 126;
    }
    BOOL started = start_process(token, program.c_str(), command_line.data(), 0, nullptr, nullptr, &startup,
                                 &process);
    if (token != nullptr) CloseHandle(token);
    if (!started) return 127;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
