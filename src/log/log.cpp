#include "log/log.h"

#include <windows.h>

#include <cstdio>

#include "base/link_safe.h"
#include "base/owners.h"

wchar_t log_path[PATH_CHARS];

namespace {

constexpr size_t LINE_CHARS = 1699;
constexpr int UTF8_BYTES = 4000;
// Opens of a log that another process holds without write sharing, 20 ms
// apart: half a second at most before the line is given up.
constexpr int LOG_OPEN_TRIES = 25;
constexpr DWORD LOG_OPEN_RETRY_MS = 20;

// Appends one formatted line to log_path; whatever goes wrong loses the line.
void append_to_log(const wchar_t* line)
{
    if (log_path[0] == 0) return;

    // Append-only access: every write lands at the end of the file as it is at
    // that moment, even when another process appended in between. The log may
    // lie in a folder a standard user controls: a log that is a link or has a
    // second name is not written, so this elevated run appends to no other file.
    unique_handle file;
    // A reader that follows the log opens it without write sharing for a
    // moment (NSIS's FileOpen does, each time the installer looks): the line
    // waits that moment out rather than being lost.
    for (int attempt = 1;; ++attempt) {
        file.reset(open_contained_file(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       contained_open::existing_or_new));
        if (file || GetLastError() != ERROR_SHARING_VIOLATION || attempt == LOG_OPEN_TRIES) break;
        Sleep(LOG_OPEN_RETRY_MS);
    }
    if (!file) return;

    char utf8[UTF8_BYTES];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, UTF8_BYTES, nullptr, nullptr);
    if (bytes > 1) {
        DWORD written = 0;
        WriteFile(file.get(), utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
    }
}

}  // namespace

int format_bounded_v(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    if (buffer == nullptr || format == nullptr) return -1;
    if (count == 0) return format[0] == 0 ? 0 : -1;
    // The legacy counted formatter has exactly the bounded rule: the text and its
    // terminator when it fits, the first count characters and -1 when it does not.
    return _vsnwprintf(buffer, count, format, args);
}

int format_bounded(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = format_bounded_v(buffer, count, format, args);
    va_end(args);
    return result;
}

void log_line(const wchar_t* format, ...)
{
    wchar_t message[LOG_MESSAGE_CHARS + 1];
    va_list args;
    va_start(args, format);
    message[0] = 0;
    format_bounded_v(message, LOG_MESSAGE_CHARS, format, args);
    va_end(args);
    message[LOG_MESSAGE_CHARS] = 0;
    // A CR or LF from a path or a value given on the command line would start a
    // line of the caller's choosing: every control character becomes "?".
    for (wchar_t* c = message; *c != 0; ++c) {
        if (*c < L' ') *c = L'?';
    }

    SYSTEMTIME now;
    GetLocalTime(&now);

    // The message goes in through "%ls" once, so a "%" it holds is written as is.
    wchar_t line[LINE_CHARS + 1];
    format_bounded(line, LINE_CHARS, L"[%02u:%02u:%02u] [elevated] %ls\r\n",
                   static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                   static_cast<unsigned>(now.wSecond), message);
    line[LINE_CHARS] = 0;

    append_to_log(line);
#ifdef MIRVO_KILL_POINTS
    // The kill sweep's build of the program may end itself right here.
    kill_point_after_log_line();
#endif
}
