#include "app/app.h"

#include <windows.h>

#include <cwchar>

#include "base/owners.h"

namespace {

// Size handed to GetEnvironmentVariableW for the argument text: a text of
// 32767 characters or more does not fit and is dropped.
constexpr DWORD ARGUMENT_CHARS = 32767;
constexpr DWORD OLD_APP_WAIT_MS = 120000;
// Windows takes a command line of at most 32767 characters with its terminator.
constexpr size_t COMMAND_LINE_CHARS = 32767;

bool given(const wchar_t* field) { return field[0] != 0; }

// Reads the variable named name into buffer of capacity characters; a value
// that is missing, empty or does not fit leaves the buffer empty, never cut.
bool read_variable(const wchar_t* name, wchar_t* buffer, DWORD capacity)
{
    buffer[0] = 0;
    if (!given(name)) return false;
    DWORD length = GetEnvironmentVariableW(name, buffer, capacity);
    if (length == 0 || length >= capacity) {
        buffer[0] = 0;
        return false;
    }
    return true;
}

// The old app may still hold files or a single-instance lock; a wait that runs
// out starts the new one all the same.
void wait_for_old_app(DWORD process_id)
{
    if (process_id == 0) return;
    unique_handle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
    if (!process) return;  // already gone
    WaitForSingleObject(process.get(), OLD_APP_WAIT_MS);
}

// Starts "program" followed by a blank and arguments, in folder when it is not
// empty; the new process is not waited for.
bool start_program(const wchar_t* program, const wchar_t* arguments, const wchar_t* folder)
{
    size_t program_length = wcslen(program);
    size_t arguments_length = wcslen(arguments);
    // Windows refuses a longer command line; some emulations cut it instead,
    // and the app must never start with half its arguments.
    if (program_length + arguments_length + 3 >= COMMAND_LINE_CHARS) return false;
    unique_local buffer(LocalAlloc(LMEM_ZEROINIT, (program_length + arguments_length + 4) * sizeof(wchar_t)));
    if (!buffer) return false;
    wchar_t* command_line = static_cast<wchar_t*>(buffer.get());
    wchar_t* end = command_line;
    *end++ = L'"';
    wmemcpy(end, program, program_length);
    end += program_length;
    *end++ = L'"';
    *end++ = L' ';
    wmemcpy(end, arguments, arguments_length);
    end[arguments_length] = 0;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The program path as application name: the search path is never used.
    if (!CreateProcessW(program, command_line, nullptr, nullptr, FALSE, 0, nullptr,
                        given(folder) ? folder : nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

int relaunch_app(const setup_options* options)
{
    unique_local argument_buffer(LocalAlloc(LMEM_ZEROINIT, (ARGUMENT_CHARS + 1) * sizeof(wchar_t)));
    if (!argument_buffer) return 1;
    wchar_t* arguments = static_cast<wchar_t*>(argument_buffer.get());

    wchar_t program[PATH_CHARS];
    if (!read_variable(options->exe_env, program, static_cast<DWORD>(PATH_CHARS))) return 2;

    // An argument text too long for its buffer is dropped whole, never cut.
    read_variable(options->args_env, arguments, ARGUMENT_CHARS);
    wchar_t fallback[PATH_CHARS];
    read_variable(options->fallback_env, fallback, static_cast<DWORD>(PATH_CHARS));
    wchar_t folder[PATH_CHARS];
    wcsncpy(folder, options->cwd, PATH_CHARS - 1);
    folder[PATH_CHARS - 1] = 0;

    wait_for_old_app(options->wait_pid);

    bool started = start_program(program, arguments, folder);
    if (!started && given(fallback)) started = start_program(fallback, arguments, folder);
    return started ? 0 : 1;
}
