#include "fs/placement.h"

#include <windows.h>

#include <cstring>

#include "fs/paths.h"
#include "log/log.h"
#include "owners.h"
#include "system/frame_server.h"

namespace {

// One buffer per file, for the whole process: a compare allocates nothing.
unsigned char compare_first[COMPARE_CHUNK_BYTES];
unsigned char compare_second[COMPARE_CHUNK_BYTES];

HANDLE open_for_compare(const wchar_t* path)
{
    // Full sharing: a target that another process has loaded can still be read.
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// destination = target + ".new"; fails when that would not fit a path buffer.
int staging_name(wchar_t* destination, const wchar_t* target)
{
    int length = format_bounded(destination, PATH_CHARS - 1, L"%ls.new", target);
    destination[PATH_CHARS - 1] = 0;
    return length >= 0;
}

int place_staged(const wchar_t* source, const wchar_t* target, int stop_services)
{
    wchar_t staged[PATH_CHARS];
    if (!staging_name(staged, target)) {
        // A cut name could land on some other file: better not to place at all.
        log_line(L"%ls leaves no room for a staging name - not placing it", target);
        return 0;
    }
    DeleteFileW(staged);  // a leftover of an earlier run; CopyFileW would replace it anyway
    if (!CopyFileW(source, staged, FALSE)) {
        log_line(L"copy to %ls failed (%lu)", staged, GetLastError());
        return 0;
    }
    if (!files_identical(source, staged)) {
        log_line(L"the copy at %ls does not match its source", staged);
        DeleteFileW(staged);
        return 0;
    }
    for (int attempt = 0; attempt < RENAME_TRIES; ++attempt) {
        if (MoveFileExW(staged, target, MOVEFILE_REPLACE_EXISTING)) {
            if (files_identical(source, target)) return 1;
            log_line(L"%ls does not match its source after the rename", target);
            return 0;
        }
        log_line(L"renaming over %ls refused (%lu)", target, GetLastError());
        // The Frame Server may hold the old DLL loaded; stopping it lets the file go.
        if (stop_services) stop_frame_server();
        Sleep(RENAME_RETRY_MS);
    }
    // Someone else may have put the right bytes there meanwhile.
    int in_place = files_identical(source, target);
    DeleteFileW(staged);
    return in_place;
}

int place_moving_aside(const wchar_t* source, const wchar_t* target, int stop_services)
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
    if (!CopyFileW(source, target, FALSE)) {
        log_line(L"copy to %ls failed (%lu)", target, GetLastError());
        return 0;
    }
    return files_identical(source, target);
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

    LARGE_INTEGER first_size = {};
    LARGE_INTEGER second_size = {};
    if (!GetFileSizeEx(first_file.get(), &first_size) || !GetFileSizeEx(second_file.get(), &second_size)) {
        return 0;
    }
    if (first_size.QuadPart != second_size.QuadPart) return 0;

    for (;;) {
        DWORD first_read = 0;
        DWORD second_read = 0;
        if (!ReadFile(first_file.get(), compare_first, COMPARE_CHUNK_BYTES, &first_read, nullptr)) return 0;
        if (!ReadFile(second_file.get(), compare_second, COMPARE_CHUNK_BYTES, &second_read, nullptr)) return 0;
        if (first_read != second_read) return 0;
        if (first_read == 0) return 1;
        if (memcmp(compare_first, compare_second, first_read) != 0) return 0;
    }
}

int place_file(const wchar_t* source, const wchar_t* folder, const wchar_t* name, int stop_services,
               int move_aside)
{
    wchar_t target[PATH_CHARS];
    if (!join_path(target, folder, name)) return 0;

    bool target_exists = GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES;
    if (target_exists && files_identical(source, target)) {
        log_line(L"%ls is already in place", target);
        return 1;
    }
    if (!move_aside || !target_exists) return place_staged(source, target, stop_services);
    return place_moving_aside(source, target, stop_services);
}
