// The program started the way the installer, the uninstaller and the app start
// it: exit status, which log file it writes, and nothing written when refused.
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

class machine_process : public temp_folder_test {
protected:
    // The temporary folder the program sees is the test's own folder.
    std::vector<std::wstring> temp_here() const { return {L"TMP=" + folder, L"TEMP=" + folder}; }

    DWORD run(const std::wstring& arguments, bool elevated = true)
    {
        run_result r = run_machine(arguments, elevated, temp_here());
        EXPECT_TRUE(r.started) << "start error " << r.start_error;
        EXPECT_TRUE(r.finished);
        return r.exit_code;
    }

    int entries_in_folder() const
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        int entries = 0;
        if (find == INVALID_HANDLE_VALUE) return 0;
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) ++entries;
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return entries;
    }
};

TEST_F(machine_process, refused_command_lines_end_with_their_status_and_write_nothing)
{
    const std::wstring long_value(30000, L'v');
    const struct {
        const char* name;
        std::wstring arguments;
        bool elevated;
        DWORD status;
    } cases[] = {
        {"no verb", L"", true, 2},
        {"unknown verb", L"install-everything", true, 2},
        {"verb in another case", L"Stop-App", true, 2},
        {"unknown option", L"stop-app --bogus", true, 2},
        {"option in another case", L"stop-app --Log x.log", true, 2},
        {"name=value form", L"stop-app --log=x.log", true, 2},
        {"value option without value", L"camera-install --install-dir", true, 2},
        {"ninth prefix", L"stop-app --prefix 1 --prefix 2 --prefix 3 --prefix 4 --prefix 5 --prefix 6 --prefix 7 --prefix 8 --prefix 9", true, 2},
        {"camera-install without folders", L"camera-install", true, 2},
        {"vbcable-install without --setup", L"vbcable-install", true, 2},
        {"vbcable-verify without --setup, not elevated", L"vbcable-verify", false, 2},
        {"camera-install not elevated", L"camera-install", false, 3},
        {"camera-install with folders not elevated", L"camera-install --vcam-dir C:\\x", false, 3},
        {"camera-remove not elevated", L"camera-remove", false, 3},
        {"vbcable-install not elevated", L"vbcable-install --setup C:\\x.exe", false, 3},
        {"machine-setup not elevated", L"machine-setup --install-dir C:\\x", false, 3},
        {"machine-remove not elevated", L"machine-remove", false, 3},
        {"very long value", L"bogus-verb --nonce " + long_value, true, 2},
        {"unbalanced quote", L"stop-app \"--log", true, 2},
        {"non-ASCII verb", L"st\u00f6p-\u65e5", true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.arguments, c.elevated), c.status);
        EXPECT_EQ(entries_in_folder(), 0) << "something was written";
    }
}

TEST_F(machine_process, version_answers_at_once_whatever_follows)
{
    for (const wchar_t* arguments : {L"version", L"version --bogus x y", L"version --log C:\\x.log"}) {
        EXPECT_EQ(run(arguments, false), 0u) << to_utf8(arguments);
        EXPECT_EQ(run(arguments, true), 0u) << to_utf8(arguments);
    }
    EXPECT_EQ(entries_in_folder(), 0);
}

// Runs that reach a flow write at least one well-formed line to the chosen file;
// the other candidate files stay absent.
TEST_F(machine_process, the_log_goes_to_the_file_chosen_for_the_verb)
{
    std::wstring install = path(L"installed");
    ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
    const std::wstring early = path(L"mirvo_install_early.log");
    const std::wstring uninstall = path(L"mirvo_uninstall.log");
    const std::wstring install_log = install + L"\\install.log";
    const std::wstring chosen_log = path(L"chosen.log");
    const struct {
        std::wstring arguments;
        std::wstring log;
    } cases[] = {
        {L"machine-remove", uninstall},
        {L"machine-setup --install-dir \"" + install + L"\\\\\"", install_log},
        {L"machine-setup --install-dir \"" + path(L"later") + L"\"", early},
        {L"camera-remove", early},
        {L"machine-remove --log \"" + chosen_log + L"\"", chosen_log},
        {L"machine-setup --install-dir \"" + install + L"\" --log \"" + chosen_log + L"\"", chosen_log},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.arguments));
        for (const std::wstring& file : {early, uninstall, install_log, chosen_log}) DeleteFileW(file.c_str());
        run(c.arguments);
        EXPECT_FALSE(log_messages(c.log).empty());
        for (const std::wstring& other : {early, uninstall, install_log, chosen_log}) {
            if (other != c.log) EXPECT_FALSE(path_exists(other)) << to_utf8(other);
        }
    }
    // The install folder that did not exist yet was not made by the log choice.
    EXPECT_FALSE(path_exists(path(L"later")));
}

}  // namespace
