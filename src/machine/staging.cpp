#include "machine/staging.h"

#include <cwchar>

#include "base/link_safe.h"
#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"

tick_count_call staging_tick_count = GetTickCount64;

namespace {

constexpr size_t MARKER_TEXT_UNITS = 256;

bool trailing_blank(wchar_t c) { return c == L' ' || c == L'\r' || c == L'\n'; }

// The file's identity: its volume and its index there.
bool same_file(HANDLE first, HANDLE second)
{
    BY_HANDLE_FILE_INFORMATION a = {};
    BY_HANDLE_FILE_INFORMATION b = {};
    if (!GetFileInformationByHandle(first, &a) || !GetFileInformationByHandle(second, &b)) return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Deletes the accepted marker through a handle of its own name, and only when
// that name still is the file that was read: the install folder is the user's,
// and the name may have been swapped since.
void delete_accepted_marker(const wchar_t* marker, HANDLE read)
{
    unique_handle name(open_contained_file(marker, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           contained_open::name_to_delete));
    if (name && same_file(name.get(), read)) delete_by_handle(name.get());
}

// One look at the marker: 1 when it is there, readable, accepted, and then
// deleted. A marker that is a link or has a second name is never read.
int marker_accepted(const wchar_t* marker, const wchar_t* nonce)
{
    if (GetFileAttributesW(marker) == INVALID_FILE_ATTRIBUTES) return 0;
    // Every sharing mode and no DELETE access: Setup may write, replace or
    // delete it while we look, even with a handle that shares reading only.
    unique_handle file(open_contained_file(marker, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           contained_open::existing));
    if (!file) return 0;
    char bytes[MARKER_READ_BYTES + 1];
    DWORD count = 0;
    if (!ReadFile(file.get(), bytes, MARKER_READ_BYTES, &count, nullptr)) return 0;
    if (!ready_marker_accepted(bytes, count, nonce)) return 0;
    delete_accepted_marker(marker, file.get());
    return 1;
}

// Writes the done marker's bytes through an existing plain file's own handle
// (truncated first, so a Setup that holds it open still reads the new text),
// or into a new file. A link or a second name of another file in its place is
// removed as a name only; what it pointed at is never written.
HANDLE open_done_marker(const wchar_t* marker)
{
    HANDLE file = open_contained_file(marker, GENERIC_WRITE, FILE_SHARE_READ, contained_open::existing);
    if (file != INVALID_HANDLE_VALUE) {
        FILE_END_OF_FILE_INFO empty = {};
        if (SetFileInformationByHandle(file, FileEndOfFileInfo, &empty, sizeof(empty))) return file;
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND && !delete_contained_file(marker)) return INVALID_HANDLE_VALUE;
    return open_contained_file(marker, GENERIC_WRITE, FILE_SHARE_READ, contained_open::create_new);
}

// Setup has gone when no process has its id, its process has ended, or the id
// now names a process started after the wait began.
bool setup_gone(DWORD setup_pid, const FILETIME& wait_began)
{
    unique_handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, setup_pid));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return true;
    FILETIME created = {};
    FILETIME ended = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(process.get(), &created, &ended, &kernel, &user)) return false;
    return CompareFileTime(&created, &wait_began) > 0;
}

}  // namespace

int ready_marker_accepted(char* bytes, DWORD count, const wchar_t* nonce)
{
    bytes[count] = 0;
    wchar_t text[MARKER_TEXT_UNITS];
    text[0] = 0;
    MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, static_cast<int>(MARKER_TEXT_UNITS - 1));
    text[MARKER_TEXT_UNITS - 1] = 0;
    size_t length = wcslen(text);
    while (length > 0 && trailing_blank(text[length - 1])) text[--length] = 0;
    return nonce[0] == 0 || wcscmp(text, nonce) == 0;
}

int wait_for_staging(const setup_options* options)
{
    ULONGLONG began = staging_tick_count();
    FILETIME began_time = {};
    GetSystemTimeAsFileTime(&began_time);

    wchar_t marker[PATH_CHARS];
    if (!join_path(marker, options->install_dir, L".elevated_ready")) return 0;
    log_line(L"waiting for Setup to finish staging files (elevated right after Install was clicked)");

    while (staging_tick_count() - began < STAGING_WAIT_LIMIT_MS) {
        // The marker first: one written just before Setup ended still counts.
        if (marker_accepted(marker, options->nonce)) {
            log_line(L"files ready; continuing");
            return 1;
        }
        if (options->setup_pid != 0 && setup_gone(options->setup_pid, began_time)) {
            log_line(L"Setup closed before it finished (nothing will signal); stopping without changing anything");
            return 0;
        }
        Sleep(STAGING_POLL_MS);
    }
    log_line(L"gave up waiting after 6 hours; the app offers these steps again");
    return 0;
}

void write_done_marker(const setup_options* options)
{
    const wchar_t* content = options->nonce[0] != 0 ? options->nonce : L"done";
    if (options->install_dir[0] == 0) return;
    wchar_t marker[PATH_CHARS];
    if (!join_path(marker, options->install_dir, L".elevated_done")) return;
    unique_handle file(open_done_marker(marker));
    if (!file) return;
    char utf8[256];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, content, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (bytes > 1) {
        DWORD written = 0;
        WriteFile(file.get(), utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
    }
}
