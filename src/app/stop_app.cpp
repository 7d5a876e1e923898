#include "app/app.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <utility>

#include "base/ascii_case.h"
#include "log/log.h"
#include "base/owners.h"

namespace {

constexpr DWORD ASK_WAIT_MS = 15000;
constexpr DWORD TERMINATE_WAIT_MS = 5000;
constexpr UINT TERMINATED_EXIT_CODE = 1;

const wchar_t* const ASKED_IMAGE = L"mirvo.exe";
const wchar_t* const ENDED_IMAGES[] = {L"python.exe", L"pythonw.exe", L"mirvo.exe", L"mirvo_vcam_host.exe"};

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_image(const wchar_t* exe_file, const wchar_t* name)
{
    return same_ignoring_ascii_case(exe_file, name);
}

bool is_ended_image(const wchar_t* exe_file)
{
    for (const wchar_t* name : ENDED_IMAGES) {
        if (is_image(exe_file, name)) return true;
    }
    return false;
}

// The image path of an open process, into a path buffer.
bool read_image_path(HANDLE process, wchar_t* image)
{
    DWORD size = static_cast<DWORD>(PATH_CHARS);
    return QueryFullProcessImageNameW(process, 0, image, &size) != 0;
}

bool process_under_prefix(HANDLE process, const setup_options* options)
{
    wchar_t image[PATH_CHARS];
    return read_image_path(process, image) && image_under_prefix(image, options);
}

struct post_context {
    DWORD process_id;
    UINT message;
    DWORD posts;
};

BOOL CALLBACK post_to_process_window(HWND window, LPARAM parameter)
{
    post_context* context = reinterpret_cast<post_context*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == context->process_id && PostMessageW(window, context->message, 0, 0)) ++context->posts;
    return TRUE;
}

// Posts the exit message to the process's top-level windows; returns the posts that succeeded.
DWORD post_exit_message(DWORD process_id, UINT message)
{
    post_context context = {process_id, message, 0};
    EnumWindows(post_to_process_window, reinterpret_cast<LPARAM>(&context));
    return context.posts;
}

// A wait for all handles ends with WAIT_OBJECT_0 + i only when every process
// has ended; a time-out or a failed wait (WAIT_FAILED) proves nothing.
bool ended_when_asked(DWORD wait, DWORD count)
{
    return wait < WAIT_OBJECT_0 + count;
}

}  // namespace

bool image_under_prefix(const wchar_t* image_path, const setup_options* options)
{
    for (int i = 0; i < options->prefix_count && i < MAX_PREFIXES; ++i) {
        const wchar_t* prefix = options->prefixes[i];
        size_t n = wcslen(prefix);
        while (n > 1 && is_separator(prefix[n - 1])) --n;
        if (n == 0) continue;
        // Whole folder names only: C:\Apps\mirvo must not take in C:\Apps\mirvo2.
        if (wcslen(image_path) > n && equal_ignoring_ascii_case(image_path, prefix, n) &&
            is_separator(image_path[n])) {
            return true;
        }
    }
    return false;
}

unsigned long ask_app_to_exit(const setup_options* options)
{
    UINT message = RegisterWindowMessageW(L"MIRVO.ExitForUninstall");
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (message == 0 || !snapshot) return 0;

    // WaitForMultipleObjects takes at most 64 handles; the rest are left to the terminate pass.
    unique_handle asked[MAXIMUM_WAIT_OBJECTS];
    HANDLE waits[MAXIMUM_WAIT_OBJECTS];
    DWORD asked_count = 0;
    const DWORD self = GetCurrentProcessId();

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (asked_count == MAXIMUM_WAIT_OBJECTS) continue;
        if (!is_image(entry.szExeFile, ASKED_IMAGE)) continue;
        // This program may itself run as a mirvo.exe under a prefix, and its
        // thread may own hidden windows (COM's): asking and waiting for itself
        // would only cost the whole 15 s.
        if (entry.th32ProcessID == self) continue;
        unique_handle process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process || !process_under_prefix(process.get(), options)) continue;
        if (post_exit_message(entry.th32ProcessID, message) == 0) continue;
        waits[asked_count] = process.get();
        asked[asked_count++] = std::move(process);
    }
    snapshot.reset();
    if (asked_count == 0) return 0;

    DWORD wait = WaitForMultipleObjects(asked_count, waits, TRUE, ASK_WAIT_MS);
    log_line(L"stop-app: asked %lu MIRVO process(es) to exit: %ls", static_cast<unsigned long>(asked_count),
             ended_when_asked(wait, asked_count) ? L"ended by themselves" : L"not all ended in time");
    return asked_count;
}

int stop_app(const setup_options* options)
{
    {
        unique_handle probe(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!probe) return 1;
    }
    ask_app_to_exit(options);

    // A fresh list: whoever ended when asked is gone, whoever started since is in it.
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 1;

    int ended = 0;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self || entry.th32ProcessID == 0) continue;
        if (!is_ended_image(entry.szExeFile)) continue;
        unique_handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                          FALSE, entry.th32ProcessID));
        if (!process || !process_under_prefix(process.get(), options)) continue;
        if (!TerminateProcess(process.get(), TERMINATED_EXIT_CODE)) continue;
        // Best effort: a process slow to go is counted all the same.
        WaitForSingleObject(process.get(), TERMINATE_WAIT_MS);
        ++ended;
    }
    snapshot.reset();
    log_line(L"stop-app: %d process(es) ended", ended);
    return 0;
}
