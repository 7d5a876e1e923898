#include "fs/placement.h"

#include <windows.h>

#include <cstring>

#include "base/link_safe.h"
#include "base/owners.h"
#include "base/paths.h"
#include "log/log.h"
#include "system/frame_server.h"

namespace {

// One buffer per file, for the whole process: a compare allocates nothing, and
// neither does a copy, which reads through the first.
unsigned char compare_first[COMPARE_CHUNK_BYTES];
unsigned char compare_second[COMPARE_CHUNK_BYTES];

HANDLE open_for_compare(const wchar_t* path)
{
    // Full sharing: a target that another process has loaded can still be read.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool rewind(HANDLE file)
{
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
}

// Compares two open files from their first byte on.
int handles_identical(HANDLE first, HANDLE second)
{
    LARGE_INTEGER first_size = {};
    LARGE_INTEGER second_size = {};
    if (!GetFileSizeEx(first, &first_size) || !GetFileSizeEx(second, &second_size)) return 0;
    if (first_size.QuadPart != second_size.QuadPart) return 0;
    if (!rewind(first) || !rewind(second)) return 0;

    for (;;) {
        DWORD first_read = 0;
        DWORD second_read = 0;
        if (!ReadFile(first, compare_first, COMPARE_CHUNK_BYTES, &first_read, nullptr)) return 0;
        if (!ReadFile(second, compare_second, COMPARE_CHUNK_BYTES, &second_read, nullptr)) return 0;
        if (first_read != second_read) return 0;
        if (first_read == 0) return 1;
        if (memcmp(compare_first, compare_second, first_read) != 0) return 0;
    }
}

// 1 when the file at path holds exactly the payload's bytes.
int matches_payload(const payload_file& source, const wchar_t* path)
{
    if (!source.file) return 0;
    unique_handle other(open_for_compare(path));
    if (!other) return 0;
    return handles_identical(source.file.get(), other.get());
}

// Writes the payload's bytes to a new file at destination, replacing any file
// there, opened with the given sharing. Only the bytes: not the source's
// attributes, times or streams. Returns 1, or 0 with the last error set.
int copy_payload(const payload_file& source, const wchar_t* destination, DWORD share)
{
    if (!rewind(source.file.get())) return 0;
    unique_handle copy(CreateFileW(destination, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!copy) return 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source.file.get(), compare_first, COMPARE_CHUNK_BYTES, &got, nullptr)) return 0;
        if (got == 0) return 1;
        DWORD written = 0;
        if (!WriteFile(copy.get(), compare_first, got, &written, nullptr)) return 0;
        if (written != got) {
            SetLastError(ERROR_WRITE_FAULT);
            return 0;
        }
    }
}

// destination = target + ".new"; fails when that would not fit a path buffer.
int staging_name(wchar_t* destination, const wchar_t* target)
{
    int length = format_bounded(destination, PATH_CHARS - 1, L"%ls.new", target);
    destination[PATH_CHARS - 1] = 0;
    return length >= 0;
}

int place_staged(const payload_file& source, const wchar_t* target, int stop_services)
{
    wchar_t staged[PATH_CHARS];
    if (!staging_name(staged, target)) {
        // A cut name could land on some other file: better not to place at all.
        log_line(L"%ls leaves no room for a staging name - not placing it", target);
        return 0;
    }
    DeleteFileW(staged);  // a leftover of an earlier run; the copy would replace it anyway
    // Nobody else has any business with the staging copy while it is written.
    if (!copy_payload(source, staged, 0)) {
        log_line(L"copy to %ls failed (%lu)", staged, GetLastError());
        return 0;
    }
    if (!matches_payload(source, staged)) {
        log_line(L"the copy at %ls does not match its source", staged);
        DeleteFileW(staged);
        return 0;
    }
    for (int attempt = 0; attempt < RENAME_TRIES; ++attempt) {
        if (MoveFileExW(staged, target, MOVEFILE_REPLACE_EXISTING)) {
            if (matches_payload(source, target)) return 1;
            log_line(L"%ls does not match its source after the rename", target);
            return 0;
        }
        log_line(L"renaming over %ls refused (%lu)", target, GetLastError());
        // The Frame Server may hold the old DLL loaded; stopping it lets the file go.
        if (stop_services) stop_frame_server();
        Sleep(RENAME_RETRY_MS);
    }
    // Someone else may have put the right bytes there meanwhile.
    int in_place = matches_payload(source, target);
    DeleteFileW(staged);
    return in_place;
}

int place_moving_aside(const payload_file& source, const wchar_t* target, int stop_services)
{
    wchar_t aside[PATH_CHARS];
    if (!aside_name(aside, target)) {
        // The staged way needs a shorter name and never leaves a half-written target.
        log_line(L"%ls leaves no room for an aside name; placing it through a staging copy", target);
        return place_staged(source, target, stop_services);
    }
    // A loaded DLL can be renamed but not overwritten: moving it aside frees its name.
    if (!MoveFileExW(target, aside, 0)) {
        log_line(L"%ls could not be moved aside (%lu); trying to copy over it", target, GetLastError());
    }
    // A target that could not be moved aside may be held by a reader that
    // shares reading and writing: the copy must not shut it out.
    if (!copy_payload(source, target, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        log_line(L"copy to %ls failed (%lu)", target, GetLastError());
        return 0;
    }
    return matches_payload(source, target);
}

}  // namespace

int aside_name(wchar_t* destination, const wchar_t* target)
{
    DWORD process_id = GetCurrentProcessId();
    DWORD ticks = GetTickCount();
    int length = format_bounded(destination, PATH_CHARS - 1, L"%ls.%08lx%08lx.old", target, ticks, process_id);
    destination[PATH_CHARS - 1] = 0;
    return length >= 0;
}

int files_identical(const wchar_t* first, const wchar_t* second)
{
    unique_handle first_file(open_for_compare(first));
    if (!first_file) return 0;
    unique_handle second_file(open_for_compare(second));
    if (!second_file) return 0;
    return handles_identical(first_file.get(), second_file.get());
}

void open_payload(const wchar_t* source, payload_file* payload)
{
    // The install folder is filled by a process that is not elevated: a payload
    // name that is a link, or a second name of some other file, could make this
    // elevated copy read a file its owner cannot and put it where every user can
    // read it. Such a name is refused with 5; a handle shared for reading (and
    // deletion, as a copy allows) only keeps writers out while it is checked,
    // copied and proved.
    payload->file.reset(open_contained_file(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            contained_open::existing));
    payload->open_error = payload->file ? 0 : GetLastError();
}

void report_unopened_payload(const payload_file& payload, const wchar_t* folder, const wchar_t* name, int move_aside)
{
    wchar_t target[PATH_CHARS];
    if (!join_path(target, folder, name)) return;
    // Named as the copy that could not be made would be: the staging copy, or
    // the target itself when an installed file would have been moved aside.
    wchar_t staged[PATH_CHARS];
    bool over_target = move_aside && GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES;
    if (!over_target && !staging_name(staged, target)) {
        log_line(L"%ls leaves no room for a staging name - not placing it", target);
        return;
    }
    log_line(L"copy to %ls failed (%lu)", over_target ? target : staged, payload.open_error);
}

int place_payload(const payload_file& payload, const wchar_t* folder, const wchar_t* name, int stop_services,
                  int move_aside)
{
    wchar_t target[PATH_CHARS];
    if (!join_path(target, folder, name)) return 0;
    // Reported before anything is moved aside: an installed file that works is
    // not broken by a payload that could never have been copied.
    if (!payload.file) {
        report_unopened_payload(payload, folder, name, move_aside);
        return 0;
    }
    bool target_exists = GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES;
    if (target_exists && matches_payload(payload, target)) {
        log_line(L"%ls is already in place", target);
        return 1;
    }
    if (!move_aside || !target_exists) return place_staged(payload, target, stop_services);
    return place_moving_aside(payload, target, stop_services);
}

int place_file(const wchar_t* source, const wchar_t* folder, const wchar_t* name, int stop_services,
               int move_aside)
{
    payload_file payload;
    open_payload(source, &payload);
    return place_payload(payload, folder, name, stop_services, move_aside);
}
