// relaunch against the stand-in: which program starts, with which command line
// and working folder, what ends the verb early, and that it never logs.
#include <string>
#include <vector>

#include "app/app_fixture.h"

namespace {

// Windows takes a command line of at most 32767 characters with its terminator.
constexpr size_t COMMAND_LINE_CHARS = 32767;

struct record {
    bool found = false;
    std::string command_line;
    std::string folder;
    unsigned long long start_time = 0;  // FILETIME
};

class relaunch_test : public app_process_test {
protected:
    struct outcome {
        bool finished = false;
        DWORD status = 0xFFFFFFFF;
        DWORD elapsed_ms = 0;
    };

    // Runs relaunch with arguments and these variables (plus the temp folder
    // and a new record folder for the stand-in) and checks that it logged nothing.
    outcome relaunch(const std::wstring& arguments, const std::vector<std::wstring>& variables,
                     bool elevated = true, const std::wstring& working_folder = {})
    {
        run_request request;
        request.program = built_program(L"mirvo_machine.exe");
        request.arguments = L"relaunch " + arguments;
        request.elevated = elevated;
        request.working_folder = working_folder;
        records = path(L"records-" + std::to_wstring(++runs));
        EXPECT_TRUE(CreateDirectoryW(records.c_str(), nullptr));
        request.environment = {L"TMP=" + folder, L"TEMP=" + folder, L"MIRVO_STANDIN_RECORD=" + records};
        request.environment.insert(request.environment.end(), variables.begin(), variables.end());
        request.timeout_ms = 30000;  // far below the 2 minutes of a --wait-pid wait
        DWORD begin = GetTickCount();
        run_result r = run_program(request);
        outcome result;
        result.elapsed_ms = GetTickCount() - begin;
        EXPECT_TRUE(r.started) << "start error " << r.start_error;
        result.finished = r.finished;
        result.status = r.exit_code;
        EXPECT_FALSE(path_exists(path(L"mirvo_install_early.log"))) << "relaunch wrote a log line";
        return result;
    }

    // The records the stand-ins started by the last relaunch wrote, one per start.
    std::vector<std::wstring> record_files() const
    {
        std::vector<std::wstring> files;
        WIN32_FIND_DATAW data;
        unique_find find(FindFirstFileW((records + L"\\*.record").c_str(), &data));
        if (!find) return files;
        do files.push_back(records + L"\\" + data.cFileName);
        while (FindNextFileW(find.get(), &data));
        return files;
    }

    // What the stand-in started by the last relaunch wrote about itself; waits for it up to 20 s.
    record read_record(DWORD timeout_ms = 20000) const
    {
        record result;
        for (DWORD waited = 0; record_files().empty() && waited < timeout_ms; waited += 50) Sleep(50);
        std::vector<std::wstring> files = record_files();
        if (files.empty()) return result;
        std::string text = read_bytes(files[0]);
        size_t first = text.find('\n');
        size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
        if (second == std::string::npos) return result;
        result.found = true;
        result.command_line = text.substr(0, first);
        result.folder = text.substr(first + 1, second - first - 1);
        result.start_time = std::stoull(text.substr(second + 1));
        return result;
    }

    // How many stand-ins the last relaunch started, counted after a moment.
    size_t starts_after_a_moment() const
    {
        Sleep(1500);
        return record_files().size();
    }

    bool nothing_started() const { return starts_after_a_moment() == 0; }

    std::wstring records;
    int runs = 0;

    static std::string command_line_of(const std::wstring& program, const std::wstring& arguments)
    {
        return to_utf8(L"\"" + program + L"\" " + arguments);
    }
};

TEST_F(relaunch_test, without_a_usable_program_path_it_ends_with_2_and_does_not_wait)
{
    HANDLE old_app = start(place_standin(L"old", L"mirvo.exe"), L"wait");
    ASSERT_NE(old_app, nullptr);
    const std::wstring wait = L" --wait-pid " + std::to_wstring(GetProcessId(old_app));
    // A variable that exists with an empty value, inherited from this process.
    ASSERT_TRUE(SetEnvironmentVariableW(L"MIRVO_TEST_EMPTY", L""));
    bool empty_entry = false;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != 0; p += wcslen(p) + 1) empty_entry |= wcscmp(p, L"MIRVO_TEST_EMPTY=") == 0;
    FreeEnvironmentStringsW(strings);
    ASSERT_TRUE(empty_entry) << "the empty variable is not in the environment";

    const std::wstring program = place_standin(L"app", L"mirvo.exe");
    const std::wstring too_long = L"C:\\" + std::wstring(1021, L'x');
    const struct {
        const char* name;
        std::wstring arguments;
        std::vector<std::wstring> variables;
    } cases[] = {
        {"no --exe-env", L"--fallback-env MIRVO_TEST_FALLBACK" + wait, {L"MIRVO_TEST_FALLBACK=" + program}},
        {"unset variable", L"--exe-env MIRVO_TEST_EXE" + wait, {}},
        {"empty variable", L"--exe-env MIRVO_TEST_EMPTY --fallback-env MIRVO_TEST_FALLBACK" + wait,
         {L"MIRVO_TEST_FALLBACK=" + program}},
        {"1024 characters", L"--exe-env MIRVO_TEST_EXE --fallback-env MIRVO_TEST_FALLBACK" + wait,
         {L"MIRVO_TEST_EXE=" + too_long, L"MIRVO_TEST_FALLBACK=" + program}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outcome o = relaunch(c.arguments, c.variables);
        EXPECT_TRUE(o.finished) << "it waited for --wait-pid";
        EXPECT_EQ(o.status, 2u);
        EXPECT_TRUE(nothing_started());
    }
    SetEnvironmentVariableW(L"MIRVO_TEST_EMPTY", nullptr);
    EXPECT_TRUE(running(old_app));
}

TEST_F(relaunch_test, the_program_starts_with_the_exact_command_line_in_the_chosen_folder)
{
    const std::wstring program = place_standin(L"app folder", L"mirvo.exe");
    const std::wstring work = path(L"work folder");
    const std::wstring own = path(L"own");
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(own.c_str(), nullptr));
    // Passed as it stands: quotes, backslashes, percent signs and non-ASCII text.
    const std::wstring arguments = L"--restarted \"two words\" C:\\x\\ \\\"q\\\" %TEMP% \u00e9\u65e5  end ";
    const struct {
        const char* name;
        std::wstring options;
        bool elevated;
        std::wstring expected_arguments;
        std::wstring expected_folder;
    } cases[] = {
        {"arguments and --cwd", L"--args-env MIRVO_TEST_ARGS --cwd " + quoted(work), true, arguments, work},
        {"not elevated, as the app starts it", L"--args-env MIRVO_TEST_ARGS --cwd " + quoted(work), false,
         arguments, work},
        {"no --args-env: ends with the blank; no --cwd: relaunch's own folder", L"", true, L"", own},
        {"--args-env naming an unset variable", L"--args-env MIRVO_TEST_UNSET", true, L"", own},
        {"--log given: still no log line", L"--log " + quoted(path(L"relaunch.log")), true, L"", own},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE " + c.options,
                             {L"MIRVO_TEST_EXE=" + program, L"MIRVO_TEST_ARGS=" + arguments}, c.elevated, own);
        EXPECT_TRUE(o.finished);
        EXPECT_EQ(o.status, 0u);
        record r = read_record();
        ASSERT_TRUE(r.found);
        EXPECT_EQ(r.command_line, command_line_of(program, c.expected_arguments));
        EXPECT_EQ(r.folder, to_utf8(c.expected_folder));
    }
    EXPECT_FALSE(path_exists(path(L"relaunch.log")));
}

// Wine starts no program from a path longer than 260 characters, so the 1023-character path is shown to be taken and tried: it cannot
// start and the fallback does; a path refused as too long would end with 2.
TEST_F(relaunch_test, program_path_of_1023_characters_is_taken_and_tried)
{
    const std::wstring fallback = place_standin(L"fallback", L"mirvo.exe");
    const struct {
        const char* name;
        size_t length;
        DWORD status;
        bool fallback_started;
    } cases[] = {
        {"1023 characters", 1023, 0, true},
        {"1024 characters", 1024, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring program = path(L"app\\");
        program += std::wstring(c.length - program.size() - 4, L'x') + L".exe";
        ASSERT_EQ(program.size(), c.length);
        outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE --fallback-env MIRVO_TEST_FALLBACK",
                             {L"MIRVO_TEST_EXE=" + program, L"MIRVO_TEST_FALLBACK=" + fallback});
        EXPECT_EQ(o.status, c.status);
        if (c.fallback_started) {
            record r = read_record();
            ASSERT_TRUE(r.found);
            EXPECT_EQ(r.command_line, command_line_of(fallback, L""));
        } else {
            EXPECT_TRUE(nothing_started());
        }
    }
}

TEST_F(relaunch_test, argument_text_is_passed_whole_below_32767_characters_and_dropped_from_there)
{
    const std::wstring program = place_standin(L"app", L"mirvo.exe");
    // The longest argument text whose command line Windows still accepts.
    const size_t longest_started = COMMAND_LINE_CHARS - 1 - (program.size() + 3);
    const struct {
        const char* name;
        size_t length;
        DWORD status;
        bool passed;
    } cases[] = {
        {"longest command line", longest_started, 0, true},
        // Windows refuses the command line; it must never start cut short (Wine would cut it).
        {"one character more: not started", longest_started + 1, 1, false},
        {"32766 characters: not started", 32766, 1, false},
        {"32767 characters: dropped", 32767, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring arguments(c.length, L'a');
        outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE --args-env MIRVO_TEST_ARGS",
                             {L"MIRVO_TEST_EXE=" + program, L"MIRVO_TEST_ARGS=" + arguments});
        EXPECT_EQ(o.status, c.status);
        if (c.status != 0) {
            EXPECT_TRUE(nothing_started());
            continue;
        }
        record r = read_record();
        ASSERT_TRUE(r.found);
        EXPECT_EQ(r.command_line, command_line_of(program, c.passed ? arguments : L""));
    }
}

TEST_F(relaunch_test, the_fallback_is_tried_once_when_the_first_program_cannot_start)
{
    const std::wstring first = place_standin(L"first", L"mirvo.exe");
    const std::wstring fallback = place_standin(L"fallback", L"mirvo.exe");
    const std::wstring missing = path(L"missing\\mirvo.exe");
    const std::wstring not_a_program = path(L"text.exe");
    ASSERT_TRUE(write_bytes(not_a_program, "not a program"));
    const std::wstring fallback_too_long = L"C:\\" + std::wstring(1021, L'x');
    const std::wstring log = L" --log " + quoted(path(L"relaunch.log"));
    const struct {
        const char* name;
        std::wstring options;
        std::wstring first, fallback;
        DWORD status;
        std::wstring started;  // empty: nothing started
    } cases[] = {
        {"missing program, no fallback", L"", missing, L"", 1, L""},
        {"missing program, fallback unset", L" --fallback-env MIRVO_TEST_UNSET", missing, L"", 1, L""},
        {"missing program, fallback starts", L" --fallback-env MIRVO_TEST_FALLBACK", missing, fallback, 0, fallback},
        {"not a program, fallback starts", L" --fallback-env MIRVO_TEST_FALLBACK", not_a_program, fallback, 0,
         fallback},
        {"first starts, fallback unused", L" --fallback-env MIRVO_TEST_FALLBACK", first, fallback, 0, first},
        {"fallback of 1024 characters is absent", L" --fallback-env MIRVO_TEST_FALLBACK", missing,
         fallback_too_long, 1, L""},
        {"--cwd that does not exist fails both", L" --fallback-env MIRVO_TEST_FALLBACK --cwd " +
         quoted(path(L"no-such-folder")), first, fallback, 1, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> variables = {L"MIRVO_TEST_EXE=" + c.first};
        if (!c.fallback.empty()) variables.push_back(L"MIRVO_TEST_FALLBACK=" + c.fallback);
        outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE" + c.options + log, variables);
        EXPECT_EQ(o.status, c.status);
        if (c.started.empty()) {
            EXPECT_TRUE(nothing_started());
        } else {
            record r = read_record();
            ASSERT_TRUE(r.found);
            EXPECT_EQ(r.command_line, command_line_of(c.started, L""));
            EXPECT_EQ(starts_after_a_moment(), 1u) << "a second program started";
        }
    }
    EXPECT_FALSE(path_exists(path(L"relaunch.log")));
}

TEST_F(relaunch_test, wait_pid_of_an_ended_process_costs_nothing)
{
    HANDLE old_app = start(place_standin(L"old", L"mirvo.exe"), L"wait 0");
    ASSERT_EQ(exit_code_after(old_app, 10000), 0u);
    DWORD old_id = GetProcessId(old_app);
    started.clear();  // the last handle goes, and the process with it

    const std::wstring program = place_standin(L"app", L"mirvo.exe");
    outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE --wait-pid " + std::to_wstring(old_id),
                         {L"MIRVO_TEST_EXE=" + program});
    EXPECT_EQ(o.status, 0u);
    EXPECT_LT(o.elapsed_ms, 10000u);
    EXPECT_TRUE(read_record().found);
}

// The old app goes after about 2 s: the new one starts after it has gone, not
// before. (A process that never ends would cost the full 2 minutes.)
TEST_F(relaunch_test, wait_pid_delays_the_start_until_the_old_process_has_ended)
{
    HANDLE old_app = start(place_standin(L"old", L"mirvo.exe"), L"wait 2000");
    ASSERT_NE(old_app, nullptr);
    const std::wstring program = place_standin(L"app", L"mirvo.exe");

    outcome o = relaunch(L"--exe-env MIRVO_TEST_EXE --wait-pid " + std::to_wstring(GetProcessId(old_app)),
                         {L"MIRVO_TEST_EXE=" + program});
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.status, 0u);
    record r = read_record();
    ASSERT_TRUE(r.found);

    ASSERT_EQ(exit_code_after(old_app, 0), 0u) << "relaunch returned before the old app ended";
    FILETIME creation, exit, kernel, user;
    ASSERT_TRUE(GetProcessTimes(old_app, &creation, &exit, &kernel, &user));
    auto number = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    ASSERT_GT(number(exit), number(creation) + 15000000) << "the old app ran less than 1.5 s";
    EXPECT_GE(r.start_time, number(exit));
}

}  // namespace
