// Plays mirvo_machine.exe for the reference installer's exit-code tests, never
// shipped. What it does comes from "elevated_standin.txt" in the install folder,
// one "key=value" a line (a key may come more than once where it says so).
//
//   mirvo_machine.exe machine-setup --install-dir DIR --nonce N --setup-pid P --wait-for-files --log FILE ...
// waits (up to 60 s) for DIR\.elevated_ready, ending at once without a trace
// when process P has ended (as the program does), then:
//   line=TEXT               appends "[hh:mm:ss] [elevated] TEXT" to FILE, as the
//                           program logs (any number of them, in order)
//   delay=MS                waits MS milliseconds before it ends
//   done=nonce|lower|other|none
//                           .elevated_done holds N, N in lower case, "OTHER",
//                           or is not written
//   exit=N                  its exit status
//   mirvo_machine.exe machine-remove --install-dir DIR --log FILE ...
//   remove_line=TEXT, remove_exit=N   the same for a removal; it first logs
//                           "stand-in machine-remove: --vbcable given" (or
//                           "not given"), so a test sees what it was told
//   mirvo_machine.exe stop-app ...    ends with 0 at once
//
//   elevated_standin.exe hold-file FILE READY STOP
// stands in for a program that runs from FILE on Windows: it opens FILE with
// share mode 0 (no other open, write or deletion succeeds), writes READY, and
// holds it until STOP exists (at most 2 minutes).
//
//   elevated_standin.exe run COMMAND_LINE
// plays a deployment tool or Settings running a registered uninstall string:
// CreateProcessW with COMMAND_LINE as it is, waits, and prints "exit code N"
// (read through the process handle: the exit status of the Unix process that
// Wine runs keeps only the low 8 bits, which cannot tell 1603 from 67). It
// ends with 0, or 125 when the program cannot start.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "standin_files.h"

namespace {

// Every value of KEY, in the order of the lines.
std::vector<std::string> values_of(const std::string& text, const std::string& key)
{
    std::vector<std::string> values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (line.compare(0, key.size() + 1, key + "=") == 0) values.push_back(line.substr(key.size() + 1));
        start = end + 1;
    }
    return values;
}

// The first value of KEY (a whole key: "exit" is not "remove_exit").
std::string first_value(const std::string& text, const std::string& key)
{
    std::vector<std::string> values = values_of(text, key);
    return values.empty() ? std::string() : values.front();
}

// Appends one line as the program writes its log: "[hh:mm:ss] [elevated] TEXT" and CR LF.
void log_line(const std::wstring& path, const std::string& text)
{
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    wsprintfA(stamp, "[%02u:%02u:%02u] [elevated] ", now.wHour, now.wMinute, now.wSecond);
    std::string line = stamp + text + "\r\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

int hold_file(const wchar_t* path, const wchar_t* ready, const wchar_t* stop)
{
    HANDLE held = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
    write_text(ready, "held");
    for (int i = 0; i < 1200 && GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    CloseHandle(held);
    return 0;
}

int run_command_line(const wchar_t* command_line)
{
    std::wstring text = command_line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return 125;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    BOOL read = GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    if (!read) return 125;
    std::printf("exit code %lu\n", code);
    return 0;
}

}  // namespace

int wmain()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (count < 2) return 90;
    std::wstring verb = arguments[1];
    if (verb == L"hold-file") return count == 5 ? hold_file(arguments[2], arguments[3], arguments[4]) : 90;
    if (verb == L"run") return count == 3 ? run_command_line(arguments[2]) : 90;
    if (verb == L"stop-app") return 0;
    std::wstring folder;
    std::wstring log;
    std::string nonce;
    bool vbcable = false;
    HANDLE setup = nullptr;
    if (std::wstring(arguments[count - 1]) == L"--vbcable") vbcable = true;
    for (int i = 1; i + 1 < count; ++i) {
        if (std::wstring(arguments[i]) == L"--install-dir") folder = arguments[i + 1];
        if (std::wstring(arguments[i]) == L"--log") log = arguments[i + 1];
        if (std::wstring(arguments[i]) == L"--vbcable") vbcable = true;
        if (std::wstring(arguments[i]) == L"--setup-pid") {
            setup = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(arguments[i + 1], nullptr, 10)));
        }
        if (std::wstring(arguments[i]) == L"--nonce") {
            for (const wchar_t* c = arguments[i + 1]; *c != L'\0'; ++c) nonce += static_cast<char>(*c);
        }
    }
    if (folder.empty()) return 90;
    if (verb == L"machine-remove") {
        std::string behaviour = read_text(folder + L"\\elevated_standin.txt");
        log_line(log, vbcable ? "stand-in machine-remove: --vbcable given" : "stand-in machine-remove: --vbcable not given");
        for (const std::string& line : values_of(behaviour, "remove_line")) log_line(log, line);
        return std::atoi(first_value(behaviour, "remove_exit").c_str());
    }
    if (verb != L"machine-setup") return 90;
    for (int i = 0; i < 600 && GetFileAttributesW((folder + L"\\.elevated_ready").c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
        if (setup != nullptr && WaitForSingleObject(setup, 0) == WAIT_OBJECT_0) return 0;
        Sleep(100);
    }
    std::string behaviour = read_text(folder + L"\\elevated_standin.txt");
    for (const std::string& line : values_of(behaviour, "line")) log_line(log, line);
    Sleep(static_cast<DWORD>(std::atoi(first_value(behaviour, "delay").c_str())));
    std::string done = first_value(behaviour, "done");
    if (done == "nonce") write_text(folder + L"\\.elevated_done", nonce);
    if (done == "lower") {
        for (char& c : nonce) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        write_text(folder + L"\\.elevated_done", nonce);
    }
    if (done == "other") write_text(folder + L"\\.elevated_done", "OTHER");
    return std::atoi(first_value(behaviour, "exit").c_str());
}
