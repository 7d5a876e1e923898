#include "fs/folders.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "base/ascii_case.h"
#include "base/link_safe.h"
#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"

namespace {

// One folder of the walk: its handle, the length of the path that names it (the
// limits on joined paths are counted from it; no path is built), and the length
// of its own path (as read from the root's handle, then joined with checked
// names) in the walk's one buffer for those.
struct walk_level {
    HANDLE folder;
    size_t path_length;
    size_t prefix_length;  // path_length with the separator a joined name gets
    size_t final_length;
    path_form form;        // how its own path was read
    bool listed;           // its listing has been read from
};

bool is_dot_entry(const wchar_t* name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// Read-only, hidden and system belong to the file, not to one of its names: they
// are cleared only where the name being deleted is the file's only one.
void clear_protecting_attributes(HANDLE file, const entry_facts& facts)
{
    constexpr DWORD protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (facts.links != 1 || (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) || !(facts.attributes & protecting)) return;
    FILE_BASIC_INFO basic = {};  // times of 0 are left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

// Deletes one entry of level's folder, or opens it when it is a folder to walk
// into: returns that folder's handle, else INVALID_HANDLE_VALUE. The entry is
// judged by its listing and by its own handle; what a link points at is never
// entered or deleted, and a link is removed only through a handle that is the
// link itself (never RemoveDirectoryW, which under Wine takes the empty folder
// behind a link). Results of the deleting calls are ignored: what stays, stays.
HANDLE delete_or_open_entry(const walk_level& level, const handle_path& folder_path, const wchar_t* name,
                            DWORD listed, entry_facts& facts)
{
    bool listed_as_link = (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry_use use = listed_as_link                            ? entry_use::any_link
                    : (listed & FILE_ATTRIBUTE_DIRECTORY) != 0 ? entry_use::folder
                                                               : entry_use::file;
    unique_handle entry(open_entry_below(level.folder, folder_path, name, use, &facts));
    if (!entry) return INVALID_HANDLE_VALUE;  // gone, held, or of another kind since it was listed
    if (facts.kind == entry_kind::link_target) return INVALID_HANDLE_VALUE;
    if (facts.kind == entry_kind::link_itself) {
        clear_protecting_attributes(entry.get(), facts);
        delete_by_handle(entry.get());
        return INVALID_HANDLE_VALUE;
    }
    if (listed_as_link) return INVALID_HANDLE_VALUE;  // no longer a link: left as it is
    if (use == entry_use::folder) return entry.release();
    clear_protecting_attributes(entry.get(), facts);
    delete_by_handle(entry.get());
    return INVALID_HANDLE_VALUE;
}

// Makes own hold the path of level's folder, in the form it was read: it may
// hold a folder below in another form after a walk came back up (or nothing
// usable, length 0, after a failed read).
bool take_own_path(walk_level& level, handle_path& own)
{
    if (own.form != level.form || own.length == 0) {
        if (!read_handle_path(level.folder, &own)) return false;
        level.final_length = own.length;
        level.form = own.form;
    }
    own.length = level.final_length;
    return true;
}

// The path of a folder entry that passed the checks: its folder's joined with
// its name, or, when it was judged by object names, its own object name.
bool take_child_path(HANDLE child, const entry_facts& facts, const wchar_t* name, handle_path& own)
{
    if (facts.judged_by != own.form) {
        if (read_handle_path(child, &own) && own.form == facts.judged_by) return true;
        own.length = 0;  // the folder's own path is gone from the buffer
        return false;
    }
    size_t name_length = wcslen(name);
    bool has_separator = own.text[own.length - 1] == L'\\';
    size_t length = own.length + (has_separator ? 0 : 1) + name_length;
    if (length >= FINAL_PATH_CHARS) return false;
    if (!has_separator) own.text[own.length] = L'\\';
    wmemcpy(own.text + length - name_length, name, name_length + 1);
    own.length = length;
    return true;
}

// Walks the tree below root without recursion: per level only a handle, three
// lengths and a form are kept, in a fixed table, the scan position lives in
// each handle, and one buffer for the folders' own paths serves every level,
// so a tree as deep as a path can name costs a few kilobytes of stack. Folders
// go bottom-up through their own handles once they are empty; root goes last.
// Returns 1 when root was marked for deletion (it goes when its handle closes).
int walk_and_delete(HANDLE root, size_t root_length, bool root_ends_with_separator)
{
    handle_path own;
    if (!read_handle_path(root, &own)) return 0;  // no entry could be judged: none is touched

    walk_level levels[DELETE_TREE_MAX_LEVELS];
    levels[0] = {root, root_length, root_ends_with_separator ? root_length : root_length + 1, own.length, own.form,
                 false};
    int depth = 0;
    int root_deleted = 0;
    wchar_t name[PATH_CHARS];
    while (depth >= 0) {
        walk_level& level = levels[depth];
        DWORD listed = 0;
        bool restart = !level.listed;
        level.listed = true;
        if (!take_own_path(level, own) || !next_folder_entry(level.folder, restart, name, &listed)) {
            int deleted = delete_by_handle(level.folder);  // only an empty folder goes
            if (depth == 0) {
                root_deleted = deleted;
            } else {
                CloseHandle(level.folder);
            }
            --depth;
            continue;
        }
        if (is_dot_entry(name)) continue;
        size_t name_length = wcslen(name);
        // The join rule: an entry whose path would not fit a path buffer stays.
        if (level.path_length + name_length + 2 >= PATH_CHARS) continue;

        entry_facts facts = {};
        HANDLE child = delete_or_open_entry(level, own, name, listed, facts);
        if (child == INVALID_HANDLE_VALUE) continue;
        size_t entry_length = level.prefix_length + name_length;
        if (entry_length + 3 >= PATH_CHARS || depth + 1 >= DELETE_TREE_MAX_LEVELS ||
            !take_child_path(child, facts, name, own)) {
            CloseHandle(child);
            continue;
        }
        ++depth;
        levels[depth] = {child, entry_length, entry_length + 1, own.length, own.form, false};
    }
    return root_deleted;
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
    if (!MoveFileW(temporary, current)) {
        // Neither name could be had back: say where the folder is now.
        log_line(L"%ls keeps the temporary name %ls (%lu)", current, temporary, GetLastError());
        return;
    }
    log_line(L"%ls keeps its name", current);
}

void delete_tree(const wchar_t* path)
{
    if (path[0] == 0) return;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;  // deleting what is not there is no error

    // The folder above is trusted as the caller named it; from there on every
    // step goes by handle.
    size_t length = wcslen(path);
    wchar_t trimmed[PATH_CHARS];
    if (length >= PATH_CHARS) return;
    wmemcpy(trimmed, path, length + 1);
    size_t trimmed_length = length;
    while (trimmed_length > 1 && (trimmed[trimmed_length - 1] == L'\\' || trimmed[trimmed_length - 1] == L'/') &&
           trimmed[trimmed_length - 2] != L':') {
        trimmed[--trimmed_length] = 0;
    }
    wchar_t parent_path[PATH_CHARS];
    const wchar_t* name = split_folder_and_name(trimmed, parent_path);
    if (name == nullptr) return;
    unique_handle parent(open_folder(parent_path, 0));
    if (!parent) return;

    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        remove_link(parent.get(), name);  // a folder that is a link is never entered
        return;
    }
    if (length + 3 >= PATH_CHARS) return;
    entry_facts facts = {};
    unique_handle folder(open_entry(parent.get(), name, entry_use::folder, &facts));
    if (!folder) return;
    delete_tree_by_handle(folder.get(), facts, path);
}

int delete_tree_by_handle(HANDLE folder, const entry_facts& facts, const wchar_t* path)
{
    if (facts.kind == entry_kind::link_target) return 0;
    if (facts.kind == entry_kind::link_itself) return delete_by_handle(folder);
    size_t length = wcslen(path);
    if (length + 3 >= PATH_CHARS) return 0;
    return walk_and_delete(folder, length, ends_with_separator(path));
}

int delete_tree_at(HANDLE parent, const wchar_t* name, const wchar_t* path)
{
    entry_facts facts = {};
    unique_handle folder(open_entry(parent, name, entry_use::folder, &facts));
    if (!folder) return GetLastError() == ERROR_FILE_NOT_FOUND;
    return delete_tree_by_handle(folder.get(), facts, path);
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
