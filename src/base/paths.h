// Path buffers and the one join rule every built path follows.
#pragma once

#include <windows.h>
#include <knownfolders.h>
#include <shtypes.h>

#include <cstddef>

// Code units in every path buffer, terminator included: a path holds at most 1023.
constexpr size_t PATH_CHARS = 1024;

// True when path is not empty and ends with a backslash or a slash.
bool ends_with_separator(const wchar_t* path);

// destination = folder, a backslash unless folder is empty or ends with a
// separator, then name. Fails, leaving destination empty, when
// length(folder) + length(name) + 2 reaches PATH_CHARS: a path is never cut.
int join_path(wchar_t* destination, const wchar_t* folder, const wchar_t* name);

// Cuts path in place at its last backslash (slashes do not count); a path
// without one is left whole.
void parent_folder(wchar_t* path);

// Copies a folder text that Windows handed out into destination; fails on a
// null text or one longer than 1021 characters, leaving destination as it was.
int take_known_folder(const wchar_t* folder, wchar_t* destination);

// Copies the known folder into destination. Fails when Windows gives none or it
// is longer than 1021 characters; destination is then left as it was.
int known_folder_path(REFKNOWNFOLDERID folder_id, wchar_t* destination);

// destination = %ProgramFiles%\mirvo\Camera. On failure destination is either
// untouched (no Program Files) or empty (too long).
int camera_folder(wchar_t* destination);
