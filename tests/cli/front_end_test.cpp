#include <string>
#include <vector>

#include "cli/front_end.h"
#include "support/test_support.h"

namespace {

// The temporary folder is the test folder (as GetTempPathW gives it, with a
// trailing backslash) unless a case says otherwise.
class log_choice : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        temp = folder + L"\\";
        install = path(L"Apps\\mirvo");
        CreateDirectoryW(path(L"Apps").c_str(), nullptr);
        CreateDirectoryW(install.c_str(), nullptr);
    }
    std::wstring chosen(const wchar_t* verb, const std::wstring& install_dir, const std::wstring& log_file = L"")
    {
        setup_options options = {};
        wcscpy_s(options.install_dir, PATH_CHARS, install_dir.c_str());
        wcscpy_s(options.log_file, PATH_CHARS, log_file.c_str());
        wchar_t out[PATH_CHARS];
        out[0] = L'X';
        choose_log_path(verb, &options, temp.c_str(), out);
        return out;
    }

    std::wstring temp;
    std::wstring install;
};

TEST_F(log_choice, each_verb_logs_to_its_file)
{
    const std::wstring early = path(L"mirvo_install_early.log");
    const struct {
        const wchar_t* verb;
        std::wstring install_dir;
        std::wstring expected;
    } cases[] = {
        {L"machine-remove", install, path(L"mirvo_uninstall.log")},
        {L"machine-setup", install, install + L"\\install.log"},
        {L"machine-setup", path(L"not-yet"), early},
        {L"machine-setup", L"", early},
        {L"stop-app", install, early},
        {L"relaunch", L"", early},
        {L"vbcable-verify", L"", early},
        {L"camera-install", L"", early},
        {L"camera-remove", L"", early},
        {L"vbcable-install", L"", early},
        {L"no-such-verb", L"", early},
        {L"Machine-Remove", L"", early},  // verbs compare case-sensitively
        {L"Machine-Setup", install, early},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chosen(c.verb, c.install_dir), c.expected) << to_utf8(c.verb) << " " << to_utf8(c.install_dir);
    }
}

TEST_F(log_choice, log_option_wins_for_every_verb_unchanged)
{
    for (const wchar_t* verb : {L"machine-setup", L"machine-remove", L"stop-app", L"bogus"}) {
        EXPECT_EQ(chosen(verb, install, L"Q:\\nowhere\\x.log"), L"Q:\\nowhere\\x.log") << to_utf8(verb);
    }
}

TEST_F(log_choice, a_file_name_that_does_not_fit_leaves_no_log)
{
    // A temporary folder of 999 characters leaves no room for
    // "mirvo_install_early.log" (999 + 25 = 1024), 998 does.
    temp = L"C:\\" + std::wstring(995, L't') + L"\\";
    EXPECT_EQ(chosen(L"stop-app", L""), L"");
    EXPECT_EQ(chosen(L"machine-remove", L""), temp + L"mirvo_uninstall.log");
    temp = L"C:\\" + std::wstring(1000, L't') + L"\\";  // 1003 + 21 for "mirvo_uninstall.log"
    EXPECT_EQ(chosen(L"machine-remove", L""), L"");
    temp = L"C:\\" + std::wstring(994, L't') + L"\\";
    EXPECT_EQ(chosen(L"stop-app", L""), temp + L"mirvo_install_early.log");

    temp = L"";  // GetTempPathW failed: nothing is logged, even for machine-setup
    EXPECT_EQ(chosen(L"stop-app", L""), L"");
    EXPECT_EQ(chosen(L"machine-setup", install), L"");
    EXPECT_EQ(chosen(L"stop-app", L"", L"D:\\x.log"), L"D:\\x.log");

    // install_dir + 13 reaching 1024 for "install.log": no log, never a cut path.
    temp = folder + L"\\";
    std::wstring deep = make_folder_of_length(folder, 1024 - 13);
    EXPECT_EQ(chosen(L"machine-setup", deep), L"");
    std::wstring fits = deep.substr(0, deep.size() - 1);
    ASSERT_TRUE(CreateDirectoryW(fits.c_str(), nullptr));
    EXPECT_EQ(chosen(L"machine-setup", fits), fits + L"\\install.log");
}

// An elevated run appends only to a file that is a log by its name, and no run
// writes to a DOS device; what is refused logs nowhere (no fallback file).
TEST_F(log_choice, log_option_names_a_log_file_on_elevated_verbs_and_never_a_device)
{
    const struct {
        const wchar_t* log;
        bool elevated_verbs;    // camera-install and machine-setup take it
        bool unelevated_verbs;  // stop-app and vbcable-verify take it
    } cases[] = {
        {L"C:\\logs\\x.log", true, true},
        {L"C:\\logs\\x.LOG", true, true},
        {L"C:\\logs\\x.log.", true, true},
        {L"C:\\logs\\x.log . ", true, true},
        {L"relative/x.Log", true, true},
        {L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\x.cmd", false, true},
        {L"C:\\logs\\x.bat", false, true},
        {L"C:\\logs\\x.log.txt", false, true},
        {L"C:\\logs\\x.logx", false, true},
        {L"C:\\logs\\x.cmd:y.log", false, true},  // a stream of another file
        {L"C:\\logs\\log", false, true},
        {L"NUL", false, false},
        {L"nul.log", false, false},
        {L"C:\\logs\\NUL.log", false, false},
        {L"C:\\logs\\nul .log", false, false},
        {L"C:\\logs\\Con.log.", false, false},
        {L"COM1", false, false},
        {L"C:\\logs\\com9.log", false, false},
        {L"lpt1.txt", false, false},
        {L"C:\\logs\\COM\u00b9.log", false, false},
        {L"C:\\logs\\LPT\u00b3", false, false},
        {L"C:NUL", false, false},
        {L"C:\\logs\\aux", false, false},
        {L"C:\\logs\\prn.log", false, false},
        // Device-like names that are none.
        {L"C:\\logs\\COM0.log", true, true},
        {L"C:\\logs\\COM10.log", true, true},
        {L"C:\\logs\\console.log", true, true},
        {L"C:\\logs\\nul2.log", true, true},
        {L"C:\\NUL\\x.log", true, true},  // a folder of that name: only the last part counts
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.log));
        for (const wchar_t* verb : {L"camera-install", L"machine-setup", L"machine-remove"}) {
            EXPECT_EQ(chosen(verb, install, c.log), c.elevated_verbs ? std::wstring(c.log) : L"") << to_utf8(verb);
        }
        for (const wchar_t* verb : {L"stop-app", L"vbcable-verify"}) {
            EXPECT_EQ(chosen(verb, install, c.log), c.unelevated_verbs ? std::wstring(c.log) : L"") << to_utf8(verb);
        }
    }
}

}  // namespace
