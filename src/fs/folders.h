// Upkeep of the folders the camera lives in: the exact name, removal, and
// access for every user and for sandboxed apps.
#pragma once

#include <windows.h>

#include "base/link_safe.h"

// Deepest folder level below the starting folder that delete_tree can reach:
// each level adds at least two characters to a path of at most 1020.
constexpr int DELETE_TREE_MAX_LEVELS = 512;

// Gives the existing folder at path the exact name its last component has in
// path when the name on disk differs from it in the case of A to Z only, through
// the temporary name path + ".renaming". Logs "%ls is now %ls", "%ls keeps its
// name (in use, %lu)", "%ls keeps its name" (the second rename failed and the
// first was undone) or "%ls keeps the temporary name %ls (%lu)" (the undoing
// failed too); a missing folder, one already so named, one of another name or
// one too long to rename is left alone silently.
void fix_folder_case(const wchar_t* path);

// Deletes the folder at path with everything in it, by handle: the folder above
// path is opened as path names it, and from there every entry is opened
// relative to its folder's handle and judged by that handle. Never enters or
// follows a link: a link (path itself, when its attributes say so, or anything
// inside) is removed only through a handle that is the link itself; a link that
// opens as what it points at (as Wine opens them) stays, and nothing behind it is
// touched. Read-only, hidden and system are cleared only on a file with one
// name; a second name of a file goes, the file keeps its other names. Whatever
// cannot be deleted (held by another process, or its path would not fit a path
// buffer) stays, with every folder above it. Logs nothing; does nothing for an
// empty path or, apart from removing it as a link, one of 1021 characters or more.
void delete_tree(const wchar_t* path);

// delete_tree for a folder already open: folder was opened by open_entry with
// entry_use::folder, which filled facts (a link itself is removed as the link
// only; what a link points at is left whole). path is the path that names the
// folder and is only measured, for the same length limits as delete_tree. The
// folder itself is marked for deletion through folder, so it goes when the
// caller closes the handle. Returns 1 when it was so marked, 0 when it stays.
int delete_tree_by_handle(HANDLE folder, const entry_facts& facts, const wchar_t* path);

// Opens name inside the folder held by parent as open_entry does and deletes it
// as delete_tree_by_handle does (path names it, for the limits). Returns 1 when
// it is gone or was not there, 0 when it (or part of it) stays.
int delete_tree_at(HANDLE parent, const wchar_t* name, const wchar_t* path);

// Adds read and execute for Everyone (S-1-1-0) and ALL APPLICATION PACKAGES
// (S-1-15-2-1), inherited by folders and files inside, to the folder's DACL;
// the entries already there stay. Returns 1 on success. Logs "reading the
// permissions of %ls failed (%lu)", "building ..." and "setting ..." failures.
int grant_read_execute(const wchar_t* path);

// The building step of grant_read_execute: merges the two entries for everyone
// and app_packages into existing (which may be null) with SetEntriesInAclW.
// Returns its status; on success *merged is a new ACL the caller LocalFrees.
DWORD merge_read_execute_entries(PACL existing, PSID everyone, PSID app_packages, PACL* merged);
