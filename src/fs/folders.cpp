#include "fs/folders.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "ascii_case.h"
#include "fs/paths.h"
#include "log/log.h"
#include "owners.h"

namespace {

// One open listing per level of the walk; the path of a level is the shared
// path buffer cut at length.
struct walk_level {
    HANDLE find;
    size_t length;
    bool entry_pending;  // FindFirstFileW filled the find data, not yet handled
};

// Starts listing the folder at path (path[length] == 0) into level.
void open_level(walk_level& level, const wchar_t* path, size_t length, WIN32_FIND_DATAW& data)
{
    wchar_t pattern[PATH_CHARS];
    level.length = length;
    level.entry_pending = false;
    level.find = INVALID_HANDLE_VALUE;
    // Callers keep length + 3 below PATH_CHARS, so the pattern always fits.
    if (format_bounded(pattern, PATH_CHARS - 1, ends_with_separator(path) ? L"%ls*" : L"%ls\\*", path) < 0) {
        return;
    }
    pattern[PATH_CHARS - 1] = 0;
    level.find = FindFirstFileW(pattern, &data);
    level.entry_pending = level.find != INVALID_HANDLE_VALUE;
}

bool next_entry(walk_level& level, WIN32_FIND_DATAW& data)
{
    if (level.find == INVALID_HANDLE_VALUE) return false;
    if (level.entry_pending) {
        level.entry_pending = false;
        return true;
    }
    return FindNextFileW(level.find, &data) != 0;
}

bool is_dot_entry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// Removes a folder that is a link as the link only: what it points at is never entered.
bool removed_as_link(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    RemoveDirectoryW(path);
    return true;
}

}  // namespace

void fix_folder_case(const wchar_t* path)
{
    const wchar_t* last = wcsrchr(path, L'\\');
    if (last == nullptr) return;
    const wchar_t* wanted = last + 1;

    WIN32_FIND_DATAW data;
    {
        // Without a wildcard the search gives the one entry, named as on disk.
        unique_find find(FindFirstFileW(path, &data));
        if (!find) return;
    }
    const wchar_t* on_disk = data.cFileName;
    if (wcscmp(on_disk, wanted) == 0 || !same_ignoring_ascii_case(on_disk, wanted)) return;

    size_t prefix = static_cast<size_t>(wanted - path);
    if (prefix + wcslen(on_disk) >= PATH_CHARS || wcslen(path) + 10 >= PATH_CHARS) return;
    wchar_t current[PATH_CHARS];
    wmemcpy(current, path, prefix);
    wcscpy_s(current + prefix, PATH_CHARS - prefix, on_disk);
    wchar_t temporary[PATH_CHARS];
    format_bounded(temporary, PATH_CHARS - 1, L"%ls.renaming", path);
    temporary[PATH_CHARS - 1] = 0;

    // Two steps: a rename that changes only the case may be taken as no change at all.
    if (!MoveFileW(current, temporary)) {
        log_line(L"%ls keeps its name (in use, %lu)", current, GetLastError());
        return;
    }
    if (MoveFileW(temporary, path)) {
        log_line(L"%ls is now %ls", current, path);
        return;
    }
    MoveFileW(temporary, current);
    log_line(L"%ls keeps its name", current);
}

// Walks the tree without recursion: per level only a search handle and a length
// are kept, in a fixed table, and one path buffer serves every level, so a tree
// as deep as a path can name costs a few kilobytes of stack. Results of the
// deleting calls are ignored: what stays, stays.
void delete_tree(const wchar_t* path)
{
    // An empty path would make the pattern "\*", the root of the current drive.
    if (path[0] == 0) return;
    if (removed_as_link(path)) return;
    size_t length = wcslen(path);
    if (length + 3 >= PATH_CHARS) return;

    wchar_t folder[PATH_CHARS];
    wmemcpy(folder, path, length + 1);
    walk_level levels[DELETE_TREE_MAX_LEVELS];
    WIN32_FIND_DATAW data;
    int depth = 0;
    open_level(levels[0], folder, length, data);

    while (depth >= 0) {
        walk_level& level = levels[depth];
        folder[level.length] = 0;
        if (!next_entry(level, data)) {
            if (level.find != INVALID_HANDLE_VALUE) FindClose(level.find);
            RemoveDirectoryW(folder);
            --depth;
            continue;
        }
        if (is_dot_entry(data.cFileName)) continue;
        wchar_t entry[PATH_CHARS];
        if (!join_path(entry, folder, data.cFileName)) continue;  // never cut: the entry stays

        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                RemoveDirectoryW(entry);
                continue;
            }
            if (removed_as_link(entry)) continue;  // became a link since it was listed
            size_t entry_length = wcslen(entry);
            if (entry_length + 3 >= PATH_CHARS || depth + 1 >= DELETE_TREE_MAX_LEVELS) continue;
            wmemcpy(folder, entry, entry_length + 1);
            ++depth;
            open_level(levels[depth], folder, entry_length, data);
            continue;
        }
        SetFileAttributesW(entry, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(entry);
    }
}

DWORD merge_read_execute_entries(PACL existing, PSID everyone, PSID app_packages, PACL* merged)
{
    EXPLICIT_ACCESS_W entries[2] = {};
    PSID trustees[2] = {everyone, app_packages};
    TRUSTEE_TYPE types[2] = {TRUSTEE_IS_WELL_KNOWN_GROUP, TRUSTEE_IS_GROUP};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = GENERIC_READ | GENERIC_EXECUTE;
        entries[i].grfAccessMode = GRANT_ACCESS;
        entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entries[i].Trustee.pMultipleTrustee = nullptr;
        entries[i].Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = types[i];
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(trustees[i]);
    }
    *merged = nullptr;
    return SetEntriesInAclW(2, entries, existing, merged);
}

int grant_read_execute(const wchar_t* path)
{
    PSID everyone_sid = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-1-0", &everyone_sid)) return 0;
    unique_local everyone(everyone_sid);
    PSID packages_sid = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-15-2-1", &packages_sid)) return 0;
    unique_local packages(packages_sid);

    PACL dacl = nullptr;  // points into descriptor
    PSECURITY_DESCRIPTOR descriptor_memory = nullptr;
    DWORD status = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &dacl, nullptr, &descriptor_memory);
    unique_local descriptor(descriptor_memory);
    if (status != ERROR_SUCCESS) {
        log_line(L"reading the permissions of %ls failed (%lu)", path, status);
        return 0;
    }

    PACL merged_acl = nullptr;
    status = merge_read_execute_entries(dacl, everyone.get(), packages.get(), &merged_acl);
    unique_local merged(merged_acl);
    if (status != ERROR_SUCCESS) {
        log_line(L"building the permissions of %ls failed (%lu)", path, status);
        return 0;
    }

    // The path is declared writable but only read.
    status = SetNamedSecurityInfoW(const_cast<LPWSTR>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   merged_acl, nullptr);
    if (status != ERROR_SUCCESS) {
        log_line(L"setting the permissions of %ls failed (%lu)", path, status);
        return 0;
    }
    return 1;
}
