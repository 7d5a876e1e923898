// File work by handle, for folders that someone other than the elevated program
// controls (the install folder, the user's temporary folder, ProgramData): a
// name is opened relative to a handle on its folder and judged by the handle it
// gives, so that no link, second name or swapped entry can turn a read, write or
// deletion onto some other file. Nothing here logs: callers log as they did.
#pragma once

#include <windows.h>

#include <cstddef>

#include "base/paths.h"

// Code units of a buffer for a final path (GetFinalPathNameByHandleW): longer
// than a path buffer, since the final path of a folder may be longer than the
// path that named it (short names spelled out, a mapped drive's share).
constexpr size_t FINAL_PATH_CHARS = 2 * PATH_CHARS;

// How open_contained_file treats the name it is given.
enum class contained_open {
    existing,         // the file must be there
    create_new,       // the name must be free
    existing_or_new,  // opened when there, created when the name is free
    replace,          // an existing name is deleted through its own handle, then made anew
    name_to_delete,   // opens the name itself with DELETE added, for delete_by_handle
};

// Opens the plain file at path: the folder part (up to the last backslash or
// slash; "." when there is none) by path, then the name relative to that
// folder's handle, never through a link. access and share are CreateFileW's;
// FILE_READ_ATTRIBUTES and SYNCHRONIZE are added, the handle does synchronous
// I/O, and DELETE is asked for only by replace and name_to_delete. The handle
// is kept only when it shows no reparse point, exactly one name, and a final
// path that is the folder's final path joined with the name (A to Z folded;
// object names where a final path cannot be had, see read_handle_path);
// name_to_delete also keeps a second name of a file and a link opened as the
// link, since deleting through such a handle removes that name only. Returns
// the handle, which the caller closes, or INVALID_HANDLE_VALUE with the last
// error set to a Win32 code: the open's own (2 for a missing name, 3 for a
// missing folder, as CreateFileW gives them), or 5 (ERROR_ACCESS_DENIED) for a
// name that failed the checks. A file made by create_new, existing_or_new or
// replace gets FILE_ATTRIBUTE_NORMAL.
HANDLE open_contained_file(const wchar_t* path, DWORD access, DWORD share, contained_open how);

// Deletes the name at path through its own handle (name_to_delete above): a
// plain file, one name of a file with several, or a link itself. A name whose
// handle is some other file's (a link that the system followed all the same)
// stays. Returns 1 when the name was deleted or was not there; otherwise 0 with
// the last error set (5 also for a read-only file: attributes are not touched).
int delete_contained_file(const wchar_t* path);

// Marks the file or empty folder that handle was opened on (with DELETE) for
// deletion through FileDispositionInfo: the name it was opened through goes when
// the last handle on it closes. Returns 1, or 0 with the last error set (5 for a
// read-only file, 145 for a folder that is not empty).
int delete_by_handle(HANDLE handle);

// Opens the existing folder at path, following any link in path itself (the
// caller trusts the path), for listing and relative opens: FILE_LIST_DIRECTORY,
// FILE_TRAVERSE, FILE_READ_ATTRIBUTES and SYNCHRONIZE, plus extra_access
// (DELETE to remove it later), with full sharing. Returns the handle or
// INVALID_HANDLE_VALUE with the last error set.
HANDLE open_folder(const wchar_t* path, DWORD extra_access);

// How a handle's path was read: as its final path (GetFinalPathNameByHandleW,
// without "\\?\"), or, where Windows cannot give that one (Wine gives none
// longer than MAX_PATH), as the NT name of the handle's object. Two paths are
// compared only when read the same way.
enum class path_form { final_path, object_name };

struct handle_path {
    wchar_t text[FINAL_PATH_CHARS];
    size_t length;  // only the first length units count; text may run on
    path_form form;
};

// What a handle opened on an entry, relative to its folder, turned out to be.
enum class entry_kind {
    plain,        // no reparse point, and its final path is the folder's joined with the name
    link_itself,  // the handle shows a reparse point: it is the link, and deleting it removes the link only
    link_target,  // its final path lies elsewhere: the system followed a link (so Wine opens links); never
                  // delete through it, never enter it
};

// What an entry is to be opened for.
enum class entry_use {
    folder,   // listing, relative opens and deletion: a folder only (without DELETE
              // when another handle on it does not share deletion)
    file,     // attribute change and deletion: a file only
    any_link, // deletion of a link to a file or a folder
};

struct entry_facts {
    entry_kind kind;
    DWORD attributes;     // of the handle
    DWORD links;          // names the file has (nNumberOfLinks)
    path_form judged_by;  // the form its path was compared in: the folder's, or object
                          // names when the entry's final path could not be read
};

// Opens name inside the folder held by folder (opened by open_folder or by
// this function) without following a link in that step, with full sharing,
// for use, and fills facts. Returns the handle, which the caller closes, or
// INVALID_HANDLE_VALUE with the last error set (2 when the name is missing).
HANDLE open_entry(HANDLE folder, const wchar_t* name, entry_use use, entry_facts* facts);

// Reads handle's path into path, as its final path when it can be had (a
// normalized name, else the name it was opened by), else as its object name.
// Returns 1, or 0 with the last error set.
int read_handle_path(HANDLE handle, handle_path* path);

// open_entry for callers that hold the folder's path already (as read by
// read_handle_path, or built from one by appending checked names).
HANDLE open_entry_below(HANDLE folder, const handle_path& folder_path, const wchar_t* name, entry_use use,
                        entry_facts* facts);

// Removes the link named name in folder through a handle that is the link
// itself (any_link above), a link to a folder or to a file alike. Returns 1;
// 0 with the last error set when name is missing (2), is no link, or opens as
// what it points at (5): such a name stays, and nothing behind it is touched.
int remove_link(HANDLE folder, const wchar_t* name);

// Cuts path at its last backslash or slash: writes the part before it into
// folder (PATH_CHARS units; "C:\" and "\" keep their separator, a path without
// one gives ".") and returns the name after it. Returns null with the last
// error set when path does not fit a path buffer or ends with a separator.
const wchar_t* split_folder_and_name(const wchar_t* path, wchar_t* folder);

// Reads the next entry of folder's listing through its handle (restart: from
// the first entry again) into name (PATH_CHARS units) and attributes. Returns
// 1 for an entry, "." and ".." included; 0 at the end of the listing, on a
// failure, or at a name too long for a path buffer.
int next_folder_entry(HANDLE folder, bool restart, wchar_t* name, DWORD* attributes);
