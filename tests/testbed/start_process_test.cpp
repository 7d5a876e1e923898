// start_process: a start that Wine cannot finish (ERROR_INTERNAL_ERROR, 1359)
// is made again at most twice, with one line each time; any other outcome is
// returned at once and says nothing.
//
// Wine hands the new process its start-up through a Unix exec, and the Unix
// side of that process ends before it has started when the exec fails. An
// environment variable longer than one exec argument may be (128 KiB) makes
// that happen every time: Wine then reports 1359, as it does for the starts
// that fail now and then under load.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

namespace {

struct start_outcome {
    BOOL started;
    DWORD error;
    std::string said;  // what start_process wrote to stderr
};

class start_process_test : public temp_folder_test {
protected:
    start_outcome start(const std::wstring& program, const std::wstring& winedebug)
    {
        std::wstring block = L"SystemRoot=C:\\windows";
        block += L'\0';
        if (!winedebug.empty()) block += L"WINEDEBUG=" + winedebug + L'\0';
        block += L'\0';
        std::wstring command_line = L"\"" + program + L"\" version";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};

        const std::wstring said_file = path(L"stderr.txt");
        fflush(stderr);
        int saved = _dup(2);
        int file = _wopen(said_file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
        _dup2(file, 2);
        start_outcome outcome;
        outcome.started = start_process(nullptr, program.c_str(), command_line.data(), CREATE_UNICODE_ENVIRONMENT,
                                        block.data(), nullptr, &startup, &process);
        outcome.error = outcome.started ? 0 : GetLastError();
        fflush(stderr);
        _dup2(saved, 2);
        _close(saved);
        _close(file);
        outcome.said = read_bytes(said_file);
        if (outcome.started) {
            WaitForSingleObject(process.hProcess, 30000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        return outcome;
    }
};

TEST_F(start_process_test, a_start_wine_cannot_finish_is_made_three_times_and_said_twice)
{
    const std::wstring program = built_program(L"mirvo_machine.exe");

    start_outcome outcome = start(program, L"-all" + std::wstring(140000, L','));

    EXPECT_FALSE(outcome.started);
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    const std::string line = "start of " + to_utf8(program) +
                             " failed with 1359 (Wine: the new process ended before it had started); "
                             "starting it again (retry ";
    EXPECT_EQ(outcome.said, line + "1 of 2)\n" + line + "2 of 2)\n");
}

TEST_F(start_process_test, other_outcomes_come_back_at_once_and_say_nothing)
{
    const struct {
        const char* name;
        std::wstring program;
        BOOL started;
        DWORD error;
    } cases[] = {
        {"a program that starts", built_program(L"mirvo_machine.exe"), TRUE, 0},
        {"a program that is not there", path(L"missing.exe"), FALSE, ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start_outcome outcome = start(c.program, L"-all");
        EXPECT_EQ(outcome.started, c.started);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.said, "");
    }
}

}  // namespace
