// stop-app against stand-ins of the app: who is asked, who is terminated, who
// is left alone, and what the log says.
#include <string>
#include <vector>

#include "app/app.h"
#include "app/app_fixture.h"

namespace {

constexpr DWORD ENDED_WHEN_ASKED = 42;  // the stand-in's own exit code
constexpr DWORD TERMINATED = 1;         // the exit code stop-app terminates with

TEST(image_under_prefix, matches_whole_folders_below_a_prefix)
{
    static const struct {
        const char* name;
        std::vector<const wchar_t*> prefixes;
        const wchar_t* image;
        bool below;
    } cases[] = {
        {"no prefix", {}, L"C:\\Apps\\mirvo\\mirvo.exe", false},
        {"directly below", {L"C:\\Apps\\mirvo"}, L"C:\\Apps\\mirvo\\mirvo.exe", true},
        {"deeper below", {L"C:\\Apps\\mirvo"}, L"C:\\Apps\\mirvo\\py\\bin\\python.exe", true},
        {"slash after the prefix", {L"C:\\Apps\\mirvo"}, L"C:\\Apps\\mirvo/mirvo.exe", true},
        {"trailing backslashes", {L"C:\\Apps\\mirvo\\\\"}, L"C:\\Apps\\mirvo\\mirvo.exe", true},
        {"trailing slash", {L"C:\\Apps\\mirvo/"}, L"C:\\Apps\\mirvo\\mirvo.exe", true},
        {"folder-name prefix of another folder", {L"C:\\Apps\\mirvo"}, L"C:\\Apps\\mirvo2\\mirvo.exe", false},
        {"the same with a trailing separator", {L"C:\\Apps\\mirvo\\"}, L"C:\\Apps\\mirvo2\\mirvo.exe", false},
        {"the prefix folder itself", {L"C:\\Apps\\mirvo"}, L"C:\\Apps\\mirvo", false},
        {"path shorter than the prefix", {L"C:\\Apps\\mirvo"}, L"C:\\Apps", false},
        {"ASCII case ignored", {L"c:\\APPS\\Mirvo"}, L"C:\\apps\\mIRVO\\mirvo.exe", true},
        {"only A to Z fold", {L"C:\\\u00c9t\u00e9"}, L"C:\\\u00e9t\u00e9\\mirvo.exe", false},
        {"drive root", {L"C:\\"}, L"C:\\anything\\mirvo.exe", true},
        {"drive root, other drive", {L"C:\\"}, L"D:\\anything\\mirvo.exe", false},
        {"empty prefix skipped", {L"", L"D:\\app"}, L"D:\\app\\mirvo.exe", true},
        {"only separators keep one", {L"\\\\\\"}, L"\\\\server\\share\\mirvo.exe", true},
        {"second prefix matches", {L"C:\\one", L"C:\\two"}, L"C:\\two\\x\\mirvo.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setup_options options = {};
        for (const wchar_t* prefix : c.prefixes) wcscpy(options.prefixes[options.prefix_count++], prefix);
        EXPECT_EQ(image_under_prefix(c.image, &options), c.below);
    }
}

class stop_app_test : public app_process_test {
protected:
    // Runs stop-app with the prefixes (each quoted as given) and returns its status.
    DWORD stop_app(const std::vector<std::wstring>& prefixes, const std::wstring& program = {},
                   bool elevated = true)
    {
        std::wstring arguments = L"stop-app --log " + quoted(log_file());
        for (const std::wstring& prefix : prefixes) arguments += L" --prefix " + quoted(prefix);
        run_request request;
        request.program = program.empty() ? built_program(L"mirvo_machine.exe") : program;
        request.arguments = arguments;
        request.elevated = elevated;
        run_result r = run_program(request);
        EXPECT_TRUE(r.started) << "start error " << r.start_error;
        EXPECT_TRUE(r.finished);
        return r.exit_code;
    }

    std::wstring log_file() const { return path(L"stop.log"); }
};

TEST_F(stop_app_test, without_a_prefix_nothing_is_asked_or_ended)
{
    HANDLE app = start(place_standin(L"app", L"mirvo.exe"), L"window-app " + quoted(path(L"asked.txt")));
    HANDLE python = start(place_standin(L"app", L"python.exe"), L"wait");
    ASSERT_TRUE(wait_for_window(app));

    EXPECT_EQ(stop_app({}, {}, false), 0u);  // needs no elevation

    EXPECT_EQ(log_messages(log_file()), std::vector<std::string>{"stop-app: 0 process(es) ended"});
    EXPECT_TRUE(running(app));
    EXPECT_TRUE(running(python));
    EXPECT_FALSE(path_exists(path(L"asked.txt")));
}

// One run over a small machine: the app under a prefix exits when asked, the
// rest under the prefixes is terminated, nothing outside them is touched.
TEST_F(stop_app_test, asks_the_app_then_terminates_what_is_left_under_the_prefixes_only)
{
    const std::wstring asked_inside = path(L"asked-inside.txt");
    const std::wstring asked_outside = path(L"asked-outside.txt");
    HANDLE app = start(place_standin(L"mirvo", L"mirvo.exe"), L"window-app " + quoted(asked_inside));
    HANDLE windowless = start(place_standin(L"mirvo\\tools", L"Mirvo.EXE"), L"no-window");
    HANDLE python = start(place_standin(L"mirvo\\py", L"python.exe"), L"wait");
    HANDLE pythonw = start(place_standin(L"second", L"pythonw.exe"), L"wait");
    HANDLE host = start(place_standin(L"third", L"mirvo_vcam_host.exe"), L"wait");
    HANDLE other_name = start(place_standin(L"mirvo", L"helper.exe"), L"wait");
    HANDLE sibling_app = start(place_standin(L"mirvo2", L"mirvo.exe"), L"window-app " + quoted(asked_outside));
    HANDLE sibling_python = start(place_standin(L"mirvo2", L"python.exe"), L"wait");
    HANDLE outside_host = start(place_standin(L"elsewhere", L"mirvo_vcam_host.exe"), L"wait");
    ASSERT_TRUE(wait_for_window(app));
    ASSERT_TRUE(wait_for_window(sibling_app));

    // Trailing separators of both kinds, and a prefix in another case.
    std::wstring upper_third = path(L"THIRD");
    EXPECT_EQ(stop_app({path(L"mirvo"), path(L"second") + L"\\\\", upper_third + L"/"}), 0u);

    EXPECT_EQ(log_messages(log_file()),
              (std::vector<std::string>{"stop-app: asked 1 MIRVO process(es) to exit: ended by themselves",
                                        "stop-app: 4 process(es) ended"}));
    EXPECT_EQ(exit_code_after(app, 0), ENDED_WHEN_ASKED);
    EXPECT_EQ(read_bytes(asked_inside), "asked\n");
    for (HANDLE terminated : {windowless, python, pythonw, host}) EXPECT_EQ(exit_code_after(terminated, 0), TERMINATED);
    for (HANDLE untouched : {other_name, sibling_app, sibling_python, outside_host}) EXPECT_TRUE(running(untouched));
    EXPECT_FALSE(path_exists(asked_outside)) << "an app outside the prefixes was asked";
}

// No more than 64 processes can be waited for together: the 65th app found is
// not asked, and the terminate pass ends it.
TEST_F(stop_app_test, at_most_64_apps_are_asked_and_the_rest_are_terminated)
{
    const std::wstring program = place_standin(L"app", L"mirvo.exe");
    std::vector<HANDLE> apps;
    for (int i = 0; i < 65; ++i) apps.push_back(start(program, L"window-app"));
    for (HANDLE app : apps) ASSERT_TRUE(wait_for_window(app));

    EXPECT_EQ(stop_app({path(L"app")}), 0u);

    EXPECT_EQ(log_messages(log_file()),
              (std::vector<std::string>{"stop-app: asked 64 MIRVO process(es) to exit: ended by themselves",
                                        "stop-app: 1 process(es) ended"}));
    int asked = 0, terminated = 0;
    for (HANDLE app : apps) {
        DWORD code = exit_code_after(app, 0);
        asked += code == ENDED_WHEN_ASKED;
        terminated += code == TERMINATED;
    }
    EXPECT_EQ(asked, 64);
    EXPECT_EQ(terminated, 1);
}

// The one test that pays the full 15 s wait.
TEST_F(stop_app_test, an_app_that_ignores_the_message_is_waited_for_then_terminated)
{
    const std::wstring asked = path(L"asked.txt");
    HANDLE app = start(place_standin(L"app", L"mirvo.exe"), L"window-app-ignoring " + quoted(asked));
    ASSERT_TRUE(wait_for_window(app));

    DWORD begin = GetTickCount();
    EXPECT_EQ(stop_app({path(L"app")}), 0u);
    DWORD elapsed = GetTickCount() - begin;

    EXPECT_EQ(log_messages(log_file()),
              (std::vector<std::string>{"stop-app: asked 1 MIRVO process(es) to exit: not all ended in time",
                                        "stop-app: 1 process(es) ended"}));
    EXPECT_EQ(read_bytes(asked), "asked\n");
    EXPECT_EQ(exit_code_after(app, 0), TERMINATED);
    EXPECT_GE(elapsed, 14500u);
    EXPECT_LT(elapsed, 40000u);
}

// The uninstaller may run a copy of the program named like the app from the app's
// own folder: it must neither wait for nor terminate itself. (On Windows its
// thread may own hidden top-level windows, COM's among them, which the ask pass
// must pass over; under Wine it owns none, so the time bound here cannot catch a
// program that asks itself; the exit status shows the terminate pass sparing it.)
TEST_F(stop_app_test, the_program_spares_itself_when_it_runs_as_the_app_under_a_prefix)
{
    const std::wstring self_as_app = path(L"app\\mirvo.exe");
    CreateDirectoryW(path(L"app").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(built_program(L"mirvo_machine.exe").c_str(), self_as_app.c_str(), FALSE));
    HANDLE python = start(place_standin(L"app", L"python.exe"), L"wait");

    DWORD begin = GetTickCount();
    EXPECT_EQ(stop_app({path(L"app")}, self_as_app), 0u);
    DWORD elapsed = GetTickCount() - begin;

    EXPECT_EQ(log_messages(log_file()), std::vector<std::string>{"stop-app: 1 process(es) ended"});
    EXPECT_EQ(exit_code_after(python, 0), TERMINATED);
    EXPECT_LT(elapsed, 10000u) << "it waited for itself";
}

}  // namespace
