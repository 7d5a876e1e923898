// Putting one payload file in place so that the target ends up holding exactly
// the source's bytes, or the caller hears that it does not.
#pragma once

#include <windows.h>

#include "base/owners.h"

// Bytes read per file per step when two files are compared.
constexpr unsigned long COMPARE_CHUNK_BYTES = 65536;
// Tries of the rename over a target that another process holds.
constexpr int RENAME_TRIES = 4;
// Wait after each refused rename.
constexpr unsigned long RENAME_RETRY_MS = 1000;

// A payload as Setup staged it, opened once: the handle that every check,
// copy and compare of it reads through, or the error that kept it from opening.
struct payload_file {
    unique_handle file;
    DWORD open_error = 0;
};

// Opens source for reading, shared for reading and deletion only, so that
// nobody writes it while it is held, and so that a name that is a link or a
// second name of another file is refused (open_error 5). Logs nothing.
void open_payload(const wchar_t* source, payload_file* payload);

// Logs "copy to %ls failed (%lu)" with the payload's open error, naming the copy
// that place_payload would have made: "<target>.new", or the target itself in
// move-aside mode when a target exists.
void report_unopened_payload(const payload_file& payload, const wchar_t* folder, const wchar_t* name,
                             int move_aside);

// Places the held payload as folder\name. Returns 1 when the target then holds
// exactly the payload's bytes (also when it already did: "%ls is already in
// place"), else 0. A payload that could not be opened is reported
// (report_unopened_payload) before anything changes. Copies take the payload's
// bytes only: not its attributes, times or streams.
// Staged (move_aside 0, or no target yet): copies to "<target>.new", proves the
// copy, renames it over the target, up to RENAME_TRIES times RENAME_RETRY_MS
// apart, stopping the Frame Server after each refusal when stop_services is
// set; the staging copy never outlives a failed call except after a failed copy.
// Move-aside (move_aside set and a target exists): renames the target to
// "<target>.<tick count><process id>.old", copies the payload over the target
// (sharing reading and writing with a holder of a target that could not be
// moved) and proves it; the aside copy is left for the caller. Logs its own
// failures except a target path that does not fit, a mismatch after a
// move-aside copy and four refused renames.
int place_payload(const payload_file& payload, const wchar_t* folder, const wchar_t* name, int stop_services,
                  int move_aside);

// open_payload of source, then place_payload.
int place_file(const wchar_t* source, const wchar_t* folder, const wchar_t* name, int stop_services,
               int move_aside);

// destination = target + "." + tick count + process id (8 lower-case hex digits
// each) + ".old": the name a file in use is moved aside to. Fails when that
// would not fit a path buffer.
int aside_name(wchar_t* destination, const wchar_t* target);

// 1 when both files open, read to their end and hold the same bytes (two empty
// files are identical); a read error counts as a difference. Sizes are compared
// before any byte is read. Logs nothing. Not reentrant: every call shares the
// process's two compare buffers.
int files_identical(const wchar_t* first, const wchar_t* second);
