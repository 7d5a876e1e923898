#include "base/link_safe.h"

#include <winternl.h>

#include <cwchar>

#include "base/ascii_case.h"
#include "base/owners.h"

namespace {

// The few NT values used here, under names of their own: the toolchains'
// headers do not agree on which of them they declare.
constexpr LONG STATUS_FINE = 0;
constexpr LONG STATUS_FAILED = static_cast<LONG>(0xC0000001);  // STATUS_UNSUCCESSFUL
constexpr LONG STATUS_NAME_NOT_FOUND = static_cast<LONG>(0xC0000034);
constexpr LONG STATUS_NO_FILE = static_cast<LONG>(0xC000000F);  // STATUS_NO_SUCH_FILE
constexpr LONG STATUS_NAME_COLLISION = static_cast<LONG>(0xC0000035);
constexpr LONG STATUS_SHARING = static_cast<LONG>(0xC0000043);  // STATUS_SHARING_VIOLATION
constexpr ULONG DISPOSITION_OPEN = 1;    // FILE_OPEN
constexpr ULONG DISPOSITION_CREATE = 2;  // FILE_CREATE
constexpr ULONG OPTION_DIRECTORY = 0x00000001;           // FILE_DIRECTORY_FILE
constexpr ULONG OPTION_SYNCHRONOUS = 0x00000020;         // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG OPTION_NON_DIRECTORY = 0x00000040;       // FILE_NON_DIRECTORY_FILE
constexpr ULONG OPTION_OPEN_REPARSE_POINT = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG NAME_CASE_INSENSITIVE = 0x00000040;      // OBJ_CASE_INSENSITIVE
constexpr ULONG CLASS_DIRECTORY_INFORMATION = 1;         // FileDirectoryInformation
constexpr ULONG CLASS_OBJECT_NAME_INFORMATION = 1;       // ObjectNameInformation
constexpr DWORD FULL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_DIRECTORY_INFORMATION, one entry of a listing.
struct directory_information {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER creation_time;
    LARGE_INTEGER last_access_time;
    LARGE_INTEGER last_write_time;
    LARGE_INTEGER change_time;
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG file_attributes;
    ULONG file_name_length;  // bytes
    WCHAR file_name[1];
};

using nt_create_file_call = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*,
                                         ULONG, ULONG, ULONG, ULONG, void*, ULONG);
using nt_query_directory_file_call = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, ULONG,
                                                  BOOLEAN, UNICODE_STRING*, BOOLEAN);
using nt_query_object_call = LONG(NTAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
using status_to_error_call = ULONG(NTAPI*)(LONG);

struct ntdll_calls {
    nt_create_file_call create_file;
    nt_query_directory_file_call query_directory_file;
    nt_query_object_call query_object;
    status_to_error_call status_to_error;
};

// Looked up in the ntdll every process has loaded: the program imports only
// KnownDLLs, and ntdll's file calls are not among kernel32's exports.
const ntdll_calls& ntdll()
{
    static const ntdll_calls calls = [] {
        ntdll_calls found = {};
        HMODULE module = GetModuleHandleW(L"ntdll.dll");
        if (module == nullptr) return found;
        found.create_file = reinterpret_cast<nt_create_file_call>(
            reinterpret_cast<void*>(GetProcAddress(module, "NtCreateFile")));
        found.query_directory_file = reinterpret_cast<nt_query_directory_file_call>(
            reinterpret_cast<void*>(GetProcAddress(module, "NtQueryDirectoryFile")));
        found.query_object = reinterpret_cast<nt_query_object_call>(
            reinterpret_cast<void*>(GetProcAddress(module, "NtQueryObject")));
        found.status_to_error = reinterpret_cast<status_to_error_call>(
            reinterpret_cast<void*>(GetProcAddress(module, "RtlNtStatusToDosError")));
        return found;
    }();
    return calls;
}

// Every failure is reported as a Win32 code, as the log's "(%lu)" expects.
void set_error_of(LONG status)
{
    const ntdll_calls& nt = ntdll();
    SetLastError(nt.status_to_error != nullptr ? nt.status_to_error(status) : ERROR_PROC_NOT_FOUND);
}

// Opens name relative to folder; never follows a link in that last step.
LONG open_relative(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options, HANDLE* opened)
{
    *opened = INVALID_HANDLE_VALUE;
    const ntdll_calls& nt = ntdll();
    if (nt.create_file == nullptr || nt.status_to_error == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return STATUS_FAILED;
    }
    UNICODE_STRING object_name;
    object_name.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = const_cast<wchar_t*>(name);
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = folder;
    attributes.ObjectName = &object_name;
    // As CreateFileW asks: names match whatever their case.
    attributes.Attributes = NAME_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    // Windows refuses synchronous I/O without SYNCHRONIZE, and the checks below
    // read attributes: both are asked for on every open.
    LONG status = nt.create_file(&handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, share, disposition,
                                 options | OPTION_OPEN_REPARSE_POINT | OPTION_SYNCHRONOUS, nullptr, 0);
    if (status < 0) {
        set_error_of(status);
        return status;
    }
    *opened = handle;
    return status;
}

bool is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// entry_text is folder_text joined with name, letters A to Z folded.
bool is_joined(const wchar_t* entry_text, size_t entry_length, const wchar_t* folder_text, size_t folder_length,
               const wchar_t* name)
{
    if (entry_length <= folder_length) return false;
    if (!equal_ignoring_ascii_case(entry_text, folder_text, folder_length)) return false;
    size_t at = folder_length;
    if (folder_length == 0 || !is_separator(folder_text[folder_length - 1])) {
        if (entry_text[at] != L'\\') return false;
        ++at;
    }
    return same_ignoring_ascii_case(entry_text + at, name);
}

// The final path of handle without its "\\?\" prefix, into FINAL_PATH_CHARS units.
size_t final_path_of(HANDLE handle, wchar_t* destination)
{
    DWORD length = GetFinalPathNameByHandleW(handle, destination, FINAL_PATH_CHARS, FILE_NAME_NORMALIZED);
    // Some redirectors cannot give a normalized name.
    if (length == 0) length = GetFinalPathNameByHandleW(handle, destination, FINAL_PATH_CHARS, FILE_NAME_OPENED);
    if (length == 0) return 0;
    if (length >= FINAL_PATH_CHARS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (wcsncmp(destination, L"\\\\?\\", 4) == 0) {
        wmemmove(destination, destination + 4, length - 4 + 1);
        length -= 4;
    }
    return length;
}

// The NT name of handle's object, into FINAL_PATH_CHARS units.
size_t object_name_of(HANDLE handle, wchar_t* destination)
{
    const ntdll_calls& nt = ntdll();
    if (nt.query_object == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    alignas(8) unsigned char buffer[sizeof(UNICODE_STRING) + FINAL_PATH_CHARS * sizeof(wchar_t)];
    ULONG returned = 0;
    LONG status = nt.query_object(handle, CLASS_OBJECT_NAME_INFORMATION, buffer, sizeof(buffer), &returned);
    if (status != STATUS_FINE) {
        set_error_of(status);
        return 0;
    }
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    size_t length = name->Length / sizeof(wchar_t);
    if (length == 0 || length >= FINAL_PATH_CHARS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    wmemcpy(destination, name->Buffer, length);
    destination[length] = 0;
    return length;
}

size_t path_in_form(HANDLE handle, path_form form, wchar_t* destination)
{
    return form == path_form::final_path ? final_path_of(handle, destination) : object_name_of(handle, destination);
}

// Whether entry's path is its folder's joined with name. A path that cannot be
// read proves nothing, and counts as lying elsewhere.
bool lies_in_folder(HANDLE entry, HANDLE folder, const handle_path& folder_path, const wchar_t* name,
                    path_form* judged_by)
{
    *judged_by = folder_path.form;
    wchar_t entry_text[FINAL_PATH_CHARS];
    size_t entry_length = path_in_form(entry, folder_path.form, entry_text);
    if (entry_length != 0) return is_joined(entry_text, entry_length, folder_path.text, folder_path.length, name);
    if (folder_path.form != path_form::final_path) return false;
    *judged_by = path_form::object_name;
    // The folder's final path could be read and the entry's, longer, could not:
    // both are read again as object names.
    wchar_t folder_text[FINAL_PATH_CHARS];
    size_t folder_length = object_name_of(folder, folder_text);
    entry_length = object_name_of(entry, entry_text);
    return folder_length != 0 && entry_length != 0 &&
           is_joined(entry_text, entry_length, folder_text, folder_length, name);
}

// Judges an entry by its handle; fails only when the handle tells nothing.
bool judge_entry(HANDLE entry, HANDLE folder, const handle_path& folder_path, const wchar_t* name,
                 entry_facts* facts)
{
    // Two small queries rather than GetFileInformationByHandle, which also
    // reads the name: under Wine that costs more the deeper the entry lies.
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof(basic)) ||
        !GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof(standard))) {
        return false;
    }
    facts->attributes = basic.FileAttributes;
    facts->links = standard.NumberOfLinks;
    facts->judged_by = folder_path.form;
    if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        facts->kind = entry_kind::link_itself;
    } else if (!lies_in_folder(entry, folder, folder_path, name, &facts->judged_by)) {
        // Windows opens a link as the link here; Wine opens what it points at.
        facts->kind = entry_kind::link_target;
    } else {
        facts->kind = entry_kind::plain;
    }
    return true;
}

// One open of a plain file inside a folder held open, with the checks of its use.
struct file_open_request {
    HANDLE folder;
    const handle_path* folder_path;
    const wchar_t* name;
};

HANDLE open_checked_file(const file_open_request& request, DWORD access, DWORD share, ULONG disposition,
                         bool to_delete, LONG* status)
{
    HANDLE opened = INVALID_HANDLE_VALUE;
    *status = open_relative(request.folder, request.name, access, share, disposition, OPTION_NON_DIRECTORY, &opened);
    if (*status < 0) return INVALID_HANDLE_VALUE;
    unique_handle file(opened);
    entry_facts facts = {};
    if (!judge_entry(file.get(), request.folder, *request.folder_path, request.name, &facts)) {
        return INVALID_HANDLE_VALUE;
    }
    // Deleting through a second name or a link itself removes that name only;
    // anything else must be the one name of a file in this folder.
    bool kept = to_delete ? facts.kind != entry_kind::link_target
                          : facts.kind == entry_kind::plain && facts.links == 1;
    if (!kept) {
        file.reset();
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return file.release();
}

// The name is free (Wine answers a dangling link with STATUS_NO_SUCH_FILE).
bool is_missing(LONG status)
{
    return status == STATUS_NAME_NOT_FOUND || status == STATUS_NO_FILE;
}

// Creates when the name is free; someone may make it between the two calls.
HANDLE open_existing_or_new(const file_open_request& request, DWORD access, DWORD share)
{
    LONG status = STATUS_FINE;
    HANDLE file = open_checked_file(request, access, share, DISPOSITION_OPEN, false, &status);
    if (!is_missing(status)) return file;
    file = open_checked_file(request, access, share, DISPOSITION_CREATE, false, &status);
    if (status != STATUS_NAME_COLLISION) return file;
    return open_checked_file(request, access, share, DISPOSITION_OPEN, false, &status);
}

// Removes the existing name through its own handle, then makes the file anew.
HANDLE replace_file(const file_open_request& request, DWORD access, DWORD share)
{
    LONG status = STATUS_FINE;
    HANDLE old_file = open_checked_file(request, DELETE, FULL_SHARING, DISPOSITION_OPEN, true, &status);
    if (old_file != INVALID_HANDLE_VALUE) {
        unique_handle old_name(old_file);
        if (!delete_by_handle(old_name.get())) return INVALID_HANDLE_VALUE;
    } else if (!is_missing(status)) {
        return INVALID_HANDLE_VALUE;
    }
    return open_checked_file(request, access, share, DISPOSITION_CREATE, false, &status);
}

}  // namespace

const wchar_t* split_folder_and_name(const wchar_t* path, wchar_t* folder)
{
    size_t length = wcslen(path);
    if (length >= PATH_CHARS) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    size_t last = length;
    for (size_t i = 0; i < length; ++i) {
        if (is_separator(path[i])) last = i;
    }
    const wchar_t* name = path;
    if (last == length) {
        wcscpy_s(folder, PATH_CHARS, L".");
    } else {
        // "\x" and "C:\x" keep their separator: without it the folder would be
        // the current folder (of drive C:) instead of the root.
        size_t folder_length = (last == 0 || path[last - 1] == L':') ? last + 1 : last;
        wmemcpy(folder, path, folder_length);
        folder[folder_length] = 0;
        name = path + last + 1;
    }
    if (name[0] == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return name;
}

int read_handle_path(HANDLE handle, handle_path* path)
{
    path->form = path_form::final_path;
    path->length = final_path_of(handle, path->text);
    if (path->length != 0) return 1;
    path->form = path_form::object_name;
    path->length = object_name_of(handle, path->text);
    return path->length != 0;
}

HANDLE open_folder(const wchar_t* path, DWORD extra_access)
{
    unique_handle folder(CreateFileW(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE |
                                               extra_access,
                                     FULL_SHARING, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder.get(), &info)) return INVALID_HANDLE_VALUE;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        folder.reset();
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return folder.release();
}

HANDLE open_contained_file(const wchar_t* path, DWORD access, DWORD share, contained_open how)
{
    wchar_t folder_name[PATH_CHARS];
    const wchar_t* name = split_folder_and_name(path, folder_name);
    if (name == nullptr) return INVALID_HANDLE_VALUE;
    unique_handle folder(open_folder(folder_name, 0));
    if (!folder) {
        // As CreateFileW tells it: the path's folder part is not there.
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_DIRECTORY) SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    handle_path folder_path;
    if (!read_handle_path(folder.get(), &folder_path)) return INVALID_HANDLE_VALUE;

    file_open_request request = {folder.get(), &folder_path, name};
    LONG status = STATUS_FINE;
    switch (how) {
    case contained_open::existing:
        return open_checked_file(request, access, share, DISPOSITION_OPEN, false, &status);
    case contained_open::create_new:
        return open_checked_file(request, access, share, DISPOSITION_CREATE, false, &status);
    case contained_open::existing_or_new:
        return open_existing_or_new(request, access, share);
    case contained_open::replace:
        return replace_file(request, access, share);
    case contained_open::name_to_delete:
        return open_checked_file(request, access | DELETE, share, DISPOSITION_OPEN, true, &status);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

int delete_contained_file(const wchar_t* path)
{
    unique_handle file(open_contained_file(path, 0, FULL_SHARING, contained_open::name_to_delete));
    if (!file) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return delete_by_handle(file.get());
}

int delete_by_handle(HANDLE handle)
{
    // FileDispositionInfoEx would ignore read-only, but not every system (Wine
    // among them) has it; callers clear attributes where that is safe.
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

HANDLE open_entry_below(HANDLE folder, const handle_path& folder_path, const wchar_t* name, entry_use use,
                        entry_facts* facts)
{
    ACCESS_MASK access = DELETE | FILE_WRITE_ATTRIBUTES;
    ULONG options = 0;
    switch (use) {
    case entry_use::folder:
        access = DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE;
        options = OPTION_DIRECTORY;
        break;
    case entry_use::file:
        options = OPTION_NON_DIRECTORY;
        break;
    case entry_use::any_link:
        break;
    }
    HANDLE opened = INVALID_HANDLE_VALUE;
    LONG status = open_relative(folder, name, access, FULL_SHARING, DISPOSITION_OPEN, options, &opened);
    if (status == STATUS_SHARING && use == entry_use::folder) {
        // Another process holds the folder without delete sharing (a process
        // whose current folder it is does): what is inside can still go, the
        // folder itself cannot, as with RemoveDirectoryW.
        status = open_relative(folder, name, access & ~DELETE, FULL_SHARING, DISPOSITION_OPEN, options, &opened);
    }
    if (status < 0) return INVALID_HANDLE_VALUE;
    unique_handle entry(opened);
    if (!judge_entry(entry.get(), folder, folder_path, name, facts)) return INVALID_HANDLE_VALUE;
    return entry.release();
}

HANDLE open_entry(HANDLE folder, const wchar_t* name, entry_use use, entry_facts* facts)
{
    handle_path folder_path;
    if (!read_handle_path(folder, &folder_path)) return INVALID_HANDLE_VALUE;
    return open_entry_below(folder, folder_path, name, use, facts);
}

int remove_link(HANDLE folder, const wchar_t* name)
{
    entry_facts facts = {};
    unique_handle link(open_entry(folder, name, entry_use::any_link, &facts));
    if (!link) return 0;
    if (facts.kind != entry_kind::link_itself) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return delete_by_handle(link.get());
}

int next_folder_entry(HANDLE folder, bool restart, wchar_t* name, DWORD* attributes)
{
    const ntdll_calls& nt = ntdll();
    if (nt.query_directory_file == nullptr) return 0;
    // One entry per call: the scan position lives in the handle, so a walk can
    // leave a folder's listing half read while it works below, with no buffer
    // of its own per level.
    alignas(8) unsigned char buffer[sizeof(directory_information) + PATH_CHARS * sizeof(wchar_t)];
    IO_STATUS_BLOCK io = {};
    LONG status = nt.query_directory_file(folder, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                                          CLASS_DIRECTORY_INFORMATION, TRUE, nullptr, restart ? TRUE : FALSE);
    if (status != STATUS_FINE) return 0;  // the end of the listing among them
    const auto* entry = reinterpret_cast<const directory_information*>(buffer);
    size_t chars = entry->file_name_length / sizeof(wchar_t);
    if (chars >= PATH_CHARS) return 0;
    wmemcpy(name, entry->file_name, chars);
    name[chars] = 0;
    *attributes = entry->file_attributes;
    return 1;
}
