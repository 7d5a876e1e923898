// The log file: one time-stamped UTF-8 line per message, appended.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "base/paths.h"

// Where lines go; empty means formatted and dropped. Set once by the front end.
extern wchar_t log_path[PATH_CHARS];

// Longest message kept in one line; a longer one is cut silently.
constexpr size_t LOG_MESSAGE_CHARS = 1535;

// Formats one message with the wide printf directives ("%ls", "%lu", "%ld",
// "%08lx", "%d") and appends it as one line to log_path, each character below
// U+0020 in the message replaced by "?". Never fails visibly:
// whatever goes wrong loses only this line.
void log_line(const wchar_t* format, ...);

// Formats into buffer, storing at most count characters. Returns the length when
// the text is shorter than count (terminator stored), count when it is exactly
// count long, -1 when it is longer or the format fails (neither stores a
// terminator). Callers store 0 in the buffer's last element right after.
int format_bounded(wchar_t* buffer, size_t count, const wchar_t* format, ...);
int format_bounded_v(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
