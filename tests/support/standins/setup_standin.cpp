// Plays Setup in the tests, never shipped: starts the program under test the
// way Setup does, right after Install, then stages and writes the ready marker.
//   setup_standin.exe MACHINE INSTALL_DIR NONCE MARKER DELAY_MS PID_FILE [EXTRA]
// Starts  "MACHINE" machine-setup --install-dir INSTALL_DIR --nonce NONCE
//         --setup-pid <own id> --wait-for-files EXTRA   (no --nonce when NONCE is "-")
// and writes the started process's id to PID_FILE. After DELAY_MS it copies the
// bytes of the file MARKER into INSTALL_DIR\.elevated_ready (through a
// temporary name, so the marker never shows half written), then waits for the
// program and ends with its exit status. MARKER "-": ends at once with 7
// instead, without any marker, as a Setup that was closed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "standin_files.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 7) return 2;
    std::wstring machine = argv[1];
    std::wstring install_dir = argv[2];
    std::wstring nonce = argv[3];
    std::wstring marker = argv[4];
    DWORD delay = wcstoul(argv[5], nullptr, 10);
    std::wstring pid_file = argv[6];

    std::wstring command = L"\"" + machine + L"\" machine-setup --install-dir \"" + install_dir + L"\"";
    if (nonce != L"-") command += L" --nonce \"" + nonce + L"\"";
    command += L" --setup-pid " + std::to_wstring(GetCurrentProcessId()) + L" --wait-for-files";
    for (int i = 7; i < argc; ++i) command += std::wstring(L" ") + argv[i];

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(machine.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 3;
    }
    CloseHandle(process.hThread);
    write_text(pid_file, std::to_string(process.dwProcessId));
    if (marker == L"-") return 7;

    Sleep(delay);
    std::wstring ready = install_dir + L"\\.elevated_ready";
    if (!publish(ready + L".tmp", ready, read_text(marker))) return 4;
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) return 5;
    DWORD status = 6;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
