// How the tests, their stand-ins and the test bed's launcher start a Windows
// program. Header only, so that programs that do not link the test support
// (stand-ins, mirvo_launch.exe) use the same code.
//
// Wine 8 now and then fails CreateProcessW with ERROR_INTERNAL_ERROR (1359):
// the new process's Unix side ended before it had told the wineserver that it
// was running, and Wine has no exit code for it. Nothing of the program ran,
// so that one start, and only on 1359, is made again, at most twice, with one
// line on stderr that names the program. Any other failure is returned at once.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cwchar>

constexpr int WINE_START_RETRIES = 2;

// CreateProcessW, or CreateProcessAsUserW when token is not null, with the
// arguments those take (no inherited handles, no security attributes). On
// failure GetLastError() is the last start's error.
inline BOOL start_process(HANDLE token, const wchar_t* application, wchar_t* command_line, DWORD flags,
                          void* environment, const wchar_t* folder, STARTUPINFOW* startup,
                          PROCESS_INFORMATION* process)
{
    for (int attempt = 0;; ++attempt) {
        BOOL started = token != nullptr
                           ? CreateProcessAsUserW(token, application, command_line, nullptr, nullptr, FALSE, flags,
                                                  environment, folder, startup, process)
                           : CreateProcessW(application, command_line, nullptr, nullptr, FALSE, flags, environment,
                                            folder, startup, process);
        if (started) return TRUE;
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == WINE_START_RETRIES) return FALSE;
        // The program's path, or the start of the command line when no path was given.
        const wchar_t* name = application != nullptr ? application : command_line;
        char shown[512] = {};
        int length = static_cast<int>(wcsnlen(name, 300));
        WideCharToMultiByte(CP_UTF8, 0, name, length, shown, sizeof(shown) - 1, nullptr, nullptr);
        fprintf(stderr, "start of %s failed with 1359 (Wine: the new process ended before it had started); "
                "starting it again (retry %d of %d)\n", shown, attempt + 1, WINE_START_RETRIES);
        fflush(stderr);
        SetLastError(error);
    }
}
