// Upkeep of the folders the camera lives in: the exact name, removal, and
// access for every user and for sandboxed apps.
#pragma once

#include <windows.h>

// Deepest folder level below the starting folder that delete_tree can reach:
// each level adds at least two characters to a path of at most 1020.
constexpr int DELETE_TREE_MAX_LEVELS = 512;

// Gives the existing folder at path the exact name its last component has in
// path when the name on disk differs from it in the case of A to Z only, through
// the temporary name path + ".renaming". Logs "%ls is now %ls", "%ls keeps its
// name (in use, %lu)" or "%ls keeps its name"; a missing folder, one already so
// named, one of another name or one too long to rename is left alone silently.
void fix_folder_case(const wchar_t* path);

// Deletes the folder at path with everything in it, clearing read-only, hidden
// and system on files first. Never enters or follows a link: a folder that is a
// reparse point (path itself or anything inside) is removed as a link only.
// Whatever cannot be deleted stays, with every folder above it. Logs nothing;
// does nothing for an empty path or one of 1021 characters or more.
void delete_tree(const wchar_t* path);

// Adds read and execute for Everyone (S-1-1-0) and ALL APPLICATION PACKAGES
// (S-1-15-2-1), inherited by folders and files inside, to the folder's DACL;
// the entries already there stay. Returns 1 on success. Logs "reading the
// permissions of %ls failed (%lu)", "building ..." and "setting ..." failures.
int grant_read_execute(const wchar_t* path);

// The building step of grant_read_execute: merges the two entries for everyone
// and app_packages into existing (which may be null) with SetEntriesInAclW.
// Returns its status; on success *merged is a new ACL the caller LocalFrees.
DWORD merge_read_execute_entries(PACL existing, PSID everyone, PSID app_packages, PACL* merged);
