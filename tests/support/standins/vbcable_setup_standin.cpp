// Plays VB-Audio's VB-CABLE setup program for the tests. Test only, never
// shipped; the tests sign copies of it with a throwaway PKI. Its arguments are
// fixed by whoever runs it, so what it does comes from "standin_behaviour.txt"
// beside its own image, one "key=value" a line, done in this order:
//   sleep_ms=N    waits N milliseconds
//   create=PATH   creates the file PATH, and its folders
//   delete=PATH   deletes the file PATH
//   exit=N        its exit code (0 when not given)
//   crash=access  crashes by an access violation
//   crash=CODE    crashes by raising the exception CODE (hexadecimal)
// (a crash ends the process with the exception's code, as Windows does)
// A key written "ARG:key" (for instance "-i:create=PATH" or "-u:delete=PATH") is
// done only when ARG is one of its arguments, so one file can tell an install
// run from a removal run.
// Before any of that it writes "standin_record.txt" beside its image: its
// command line, working folder and image path, and whether it could rename its
// own file (and rename it back); after all of it, "standin_finished.txt".
#include <windows.h>

#include <cwchar>
#include <string>

#include "standin_files.h"

namespace {

// A running image can be renamed unless someone holds it open without sharing
// delete; whoever ran it and still holds it with read-only sharing makes this fail.
std::string try_rename(const std::wstring& image)
{
    std::wstring moved = image + L".moved";
    if (!MoveFileExW(image.c_str(), moved.c_str(), 0)) return "refused " + std::to_string(GetLastError());
    if (!MoveFileExW(moved.c_str(), image.c_str(), 0)) return "not back " + std::to_string(GetLastError());
    return "done";
}

void create_with_folders(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    write_text(path, "present");
}

// Whether TOKEN is one of the space-separated arguments after the image name.
bool has_argument(const std::wstring& command_line, const std::wstring& token)
{
    size_t at = 0;
    bool first = true;
    while (at < command_line.size()) {
        size_t end = command_line.find(L' ', at);
        if (end == std::wstring::npos) end = command_line.size();
        if (!first && command_line.compare(at, end - at, token) == 0) return true;
        if (end > at) first = false;
        at = end + 1;
    }
    return false;
}

// Ends the process with the exception's code, as Windows ends a program whose
// exception nobody handles (Wine would start its debugger instead).
LONG WINAPI end_like_windows(EXCEPTION_POINTERS* exception)
{
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Nothing in the program handles the exception: it crashes.
void crash(const std::string& how)
{
    SetUnhandledExceptionFilter(end_like_windows);
    if (how == "access") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    RaiseException(static_cast<DWORD>(std::stoul(how, nullptr, 16)), EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace

int wmain()
{
    wchar_t image[32768];
    DWORD length = GetModuleFileNameW(nullptr, image, 32768);
    std::wstring image_path(image, length);
    std::wstring folder = image_path.substr(0, image_path.find_last_of(L'\\'));

    std::string record = "command_line=" + utf8(GetCommandLineW()) + "\n" +
                         "folder=" + utf8(current_folder()) + "\n" +
                         "image=" + utf8(image_path) + "\n" + "rename=" + try_rename(image_path) + "\n";
    std::wstring record_file = folder + L"\\standin_record.txt";
    if (!publish(record_file + L".partial", record_file, record)) return 90;

    int exit_code = 0;
    std::string behaviour = read_text(folder + L"\\standin_behaviour.txt");
    size_t start = 0;
    while (start < behaviour.size()) {
        size_t end = behaviour.find('\n', start);
        if (end == std::string::npos) end = behaviour.size();
        std::string line = behaviour.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        size_t colon = key.find(':');
        if (colon != std::string::npos) {
            if (!has_argument(GetCommandLineW(), wide(key.substr(0, colon)))) continue;
            key = key.substr(colon + 1);
        }
        std::string value = line.substr(equals + 1);
        if (key == "sleep_ms") Sleep(static_cast<DWORD>(std::stoul(value)));
        if (key == "create") create_with_folders(wide(value));
        if (key == "delete") DeleteFileW(wide(value).c_str());
        if (key == "exit") exit_code = std::stoi(value);
        if (key == "crash") crash(value);
    }
    std::wstring finished_file = folder + L"\\standin_finished.txt";
    publish(finished_file + L".partial", finished_file, "finished\n");
    return exit_code;
}
