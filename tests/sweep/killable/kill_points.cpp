// The counting wrappers of the kill sweep's build (kill_points.h). Compiled
// without the forced header, so that these call the system's own functions.
#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

constexpr DWORD KILLED_BY_SWEEP = 0xDEAD;

namespace {

enum class kill_kind { none, change, line };

struct kill_plan {
    kill_kind kind = kill_kind::none;
    long at = 0;
    // A pause instead of a kill (MIRVO_PAUSE_AT, for MIRVO_PAUSE_MS): the run
    // holds whatever it holds there while a test starts a second run or kills
    // this one from outside.
    kill_kind pause_kind = kill_kind::none;
    long pause_at = 0;
    DWORD pause_ms = 0;
    long changes = 0;
    long lines = 0;
};

// "change:k" or "line:k" from the environment variable name.
void read_point(const wchar_t* name, kill_kind* kind, long* at)
{
    wchar_t text[64] = {};
    DWORD got = GetEnvironmentVariableW(name, text, 64);
    if (got == 0 || got >= 64) return;
    if (wcsncmp(text, L"change:", 7) == 0) {
        *kind = kill_kind::change;
        *at = wcstol(text + 7, nullptr, 10);
    } else if (wcsncmp(text, L"line:", 5) == 0) {
        *kind = kill_kind::line;
        *at = wcstol(text + 5, nullptr, 10);
    }
}

kill_plan& plan()
{
    static kill_plan read = [] {
        kill_plan p;
        read_point(L"MIRVO_KILL_AT", &p.kind, &p.at);
        read_point(L"MIRVO_PAUSE_AT", &p.pause_kind, &p.pause_at);
        wchar_t text[16] = {};
        DWORD got = GetEnvironmentVariableW(L"MIRVO_PAUSE_MS", text, 16);
        if (got > 0 && got < 16) p.pause_ms = wcstoul(text, nullptr, 10);
        return p;
    }();
    return read;
}

// Leaves what the run was killed or paused after where the sweep can read it
// (MIRVO_KILL_NOTE).
void write_note(const wchar_t* what, const wchar_t* detail)
{
    wchar_t note_path[MAX_PATH] = {};
    DWORD got = GetEnvironmentVariableW(L"MIRVO_KILL_NOTE", note_path, MAX_PATH);
    if (got > 0 && got < MAX_PATH) {
        HANDLE note = CreateFileW(note_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (note != INVALID_HANDLE_VALUE) {
            char text[1200];
            int length = snprintf(text, sizeof(text), "%ls %ls", what, detail ? detail : L"");
            DWORD written = 0;
            if (length > 0) WriteFile(note, text, static_cast<DWORD>(length), &written, nullptr);
            CloseHandle(note);
        }
    }
}

// Ends the process as TerminateProcess from outside would.
[[noreturn]] void die(const wchar_t* what, const wchar_t* detail)
{
    write_note(what, detail);
    TerminateProcess(GetCurrentProcess(), KILLED_BY_SWEEP);
    ExitProcess(KILLED_BY_SWEEP);
}

// The note first: a test waits for it to know that the run is paused there.
void pause(const wchar_t* what, const wchar_t* detail)
{
    write_note(what, detail);
    Sleep(plan().pause_ms);
}

void changed(const wchar_t* what, const wchar_t* detail)
{
    kill_plan& p = plan();
    ++p.changes;
    if (p.kind == kill_kind::change && p.changes == p.at) die(what, detail);
    if (p.pause_kind == kill_kind::change && p.changes == p.pause_at) pause(what, detail);
}

// NtCreateFile's IO_STATUS_BLOCK.Information for a file it made or emptied.
constexpr ULONG_PTR FILE_WAS_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_WAS_CREATED = 2;
constexpr ULONG_PTR FILE_WAS_OVERWRITTEN = 3;
constexpr ULONG OPEN_ONLY = 1;  // FILE_OPEN

using nt_create_file_call = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*,
                                         ULONG, ULONG, ULONG, ULONG, void*, ULONG);
nt_create_file_call real_nt_create_file = nullptr;

LONG NTAPI counting_nt_create_file(HANDLE* file, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                                   IO_STATUS_BLOCK* status_block, LARGE_INTEGER* size, ULONG file_attributes,
                                   ULONG share, ULONG disposition, ULONG options, void* ea, ULONG ea_length)
{
    LONG status = real_nt_create_file(file, access, attributes, status_block, size, file_attributes, share,
                                      disposition, options, ea, ea_length);
    if (status >= 0 && disposition != OPEN_ONLY) {
        ULONG_PTR what = status_block->Information;
        if (what == FILE_WAS_CREATED || what == FILE_WAS_OVERWRITTEN || what == FILE_WAS_SUPERSEDED) {
            wchar_t name[MAX_PATH] = {};
            if (attributes && attributes->ObjectName && attributes->ObjectName->Buffer) {
                size_t units = attributes->ObjectName->Length / sizeof(wchar_t);
                if (units >= MAX_PATH) units = MAX_PATH - 1;
                wmemcpy(name, attributes->ObjectName->Buffer, units);
            }
            changed(L"NtCreateFile", name);
        }
    }
    return status;
}

}  // namespace

void kill_point_after_log_line()
{
    kill_plan& p = plan();
    ++p.lines;
    if (p.kind == kill_kind::line && p.lines == p.at) die(L"log line", nullptr);
    if (p.pause_kind == kill_kind::line && p.lines == p.pause_at) pause(L"log line", nullptr);
}

BOOL WINAPI kill_point_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    BOOL done = CreateDirectoryW(path, security);
    if (done) changed(L"CreateDirectoryW", path);
    return done;
}

BOOL WINAPI kill_point_RemoveDirectoryW(LPCWSTR path)
{
    BOOL done = RemoveDirectoryW(path);
    if (done) changed(L"RemoveDirectoryW", path);
    return done;
}

BOOL WINAPI kill_point_DeleteFileW(LPCWSTR path)
{
    BOOL done = DeleteFileW(path);
    if (done) changed(L"DeleteFileW", path);
    return done;
}

BOOL WINAPI kill_point_MoveFileW(LPCWSTR from, LPCWSTR to)
{
    BOOL done = MoveFileW(from, to);
    if (done) changed(L"MoveFileW", to);
    return done;
}

BOOL WINAPI kill_point_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    BOOL done = MoveFileExW(from, to, flags);
    if (done) changed(L"MoveFileExW", to);
    return done;
}

BOOL WINAPI kill_point_SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    BOOL done = SetFileAttributesW(path, attributes);
    if (done) changed(L"SetFileAttributesW", path);
    return done;
}

HANDLE WINAPI kill_point_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE template_file)
{
    HANDLE file = CreateFileW(path, access, share, security, disposition, flags, template_file);
    if (file == INVALID_HANDLE_VALUE) return file;
    DWORD error = GetLastError();  // ERROR_ALREADY_EXISTS tells an opened file from a made one
    bool made = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING ||
                (disposition == OPEN_ALWAYS && error != ERROR_ALREADY_EXISTS);
    if (made) changed(L"CreateFileW", path);
    SetLastError(error);
    return file;
}

BOOL WINAPI kill_point_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                                  DWORD bytes)
{
    BOOL done = SetFileInformationByHandle(file, info_class, info, bytes);
    if (done && (info_class == FileDispositionInfo || info_class == FileRenameInfo ||
                 info_class == FileBasicInfo || info_class == FileEndOfFileInfo)) {
        changed(L"SetFileInformationByHandle", nullptr);
    }
    return done;
}

DWORD WINAPI kill_point_SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                                              PSID group, PACL dacl, PACL sacl)
{
    DWORD status = SetNamedSecurityInfoW(name, type, what, owner, group, dacl, sacl);
    if (status == ERROR_SUCCESS) changed(L"SetNamedSecurityInfoW", name);
    return status;
}

LSTATUS WINAPI kill_point_RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class, DWORD options,
                                          REGSAM access, const SECURITY_ATTRIBUTES* security, PHKEY result,
                                          LPDWORD disposition)
{
    DWORD made = 0;
    LSTATUS status = RegCreateKeyExW(key, subkey, reserved, key_class, options, access,
                                     const_cast<SECURITY_ATTRIBUTES*>(security), result, &made);
    if (disposition) *disposition = made;
    if (status == ERROR_SUCCESS && made == REG_CREATED_NEW_KEY) changed(L"RegCreateKeyExW", subkey);
    return status;
}

LSTATUS WINAPI kill_point_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                         DWORD bytes)
{
    LSTATUS status = RegSetValueExW(key, name, reserved, type, data, bytes);
    if (status == ERROR_SUCCESS) changed(L"RegSetValueExW", name ? name : L"(default)");
    return status;
}

LSTATUS WINAPI kill_point_RegDeleteTreeW(HKEY key, LPCWSTR subkey)
{
    LSTATUS status = RegDeleteTreeW(key, subkey);
    if (status == ERROR_SUCCESS) changed(L"RegDeleteTreeW", subkey);
    return status;
}

LSTATUS WINAPI kill_point_RegDeleteKeyExW(HKEY key, LPCWSTR subkey, REGSAM access, DWORD reserved)
{
    LSTATUS status = RegDeleteKeyExW(key, subkey, access, reserved);
    if (status == ERROR_SUCCESS) changed(L"RegDeleteKeyExW", subkey);
    return status;
}

LSTATUS WINAPI kill_point_RegDeleteKeyW(HKEY key, LPCWSTR subkey)
{
    LSTATUS status = RegDeleteKeyW(key, subkey);
    if (status == ERROR_SUCCESS) changed(L"RegDeleteKeyW", subkey);
    return status;
}

LSTATUS WINAPI kill_point_RegDeleteValueW(HKEY key, LPCWSTR name)
{
    LSTATUS status = RegDeleteValueW(key, name);
    if (status == ERROR_SUCCESS) changed(L"RegDeleteValueW", name ? name : L"(default)");
    return status;
}

FARPROC WINAPI kill_point_GetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC found = GetProcAddress(module, name);
    // Names only: an ordinal (a value below 64 Ki) is passed through.
    if (found == nullptr || reinterpret_cast<ULONG_PTR>(name) < 0x10000 || strcmp(name, "NtCreateFile") != 0) {
        return found;
    }
    real_nt_create_file = reinterpret_cast<nt_create_file_call>(reinterpret_cast<void*>(found));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(counting_nt_create_file));
}
