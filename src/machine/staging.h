// The hand-shake with Setup through two marker files in the install folder:
// Setup writes ".elevated_ready" (the nonce) once the app's files are staged;
// this program writes ".elevated_done" when its elevated part is over.
#pragma once

#include <windows.h>

#include "base/setup_options.h"

// Pause between two looks at the ready marker and at Setup.
constexpr DWORD STAGING_POLL_MS = 500;
// Longest wait for the ready marker, on the monotonic tick count: 6 hours.
constexpr ULONGLONG STAGING_WAIT_LIMIT_MS = 21600000;
// Bytes of the ready marker read in one pass; the read buffer holds one more.
constexpr DWORD MARKER_READ_BYTES = 255;

// Waits for Setup's ready marker holding options->nonce (any readable content
// when there is no nonce), polling every STAGING_POLL_MS. Returns 1 when it was
// accepted (and deleted): "files ready; continuing". Returns 0 when Setup
// (options->setup_pid, when given) went away ("Setup closed before it finished
// ..."), after STAGING_WAIT_LIMIT_MS ("gave up waiting after 6 hours ..."), or at
// once, silently, when the marker's path does not fit.
int wait_for_staging(const setup_options* options);

// Writes ".elevated_done" in the install folder: the nonce in UTF-8, or "done"
// without one, with no byte-order mark, terminator or line end, replacing an
// earlier file. Silent in every case; does nothing without an install folder.
void write_done_marker(const setup_options* options);

// The rule for one read of the ready marker: bytes (count of them, at most
// MARKER_READ_BYTES, in a buffer of at least count + 1) up to the first 0 byte,
// from UTF-8, with trailing spaces, CR and LF trimmed, equal to nonce exactly;
// or anything at all when nonce is empty. Writes the 0 byte at bytes[count].
int ready_marker_accepted(char* bytes, DWORD count, const wchar_t* nonce);

// The clock the wait's time limit is measured on: GetTickCount64, replaced only
// by a test that must not wait 6 hours.
using tick_count_call = ULONGLONG(WINAPI*)();
extern tick_count_call staging_tick_count;
