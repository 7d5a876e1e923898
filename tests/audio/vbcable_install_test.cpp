// vbcable-install as the installer starts it, with the tests' signed setup
// stand-in: exit status, log lines, the presence file and what the run saw.
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/owners.h"
#include "support/test_support.h"
#include "support/unix_links.h"
#include "support/vbcable_standin.h"

namespace {

class vbcable_install : public vbcable_folder_test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(vbcable_folder_test::SetUp());
        setup = path(L"VBCABLE_Setup_x64.exe");
    }
    void TearDown() override
    {
        // A stand-in that was started must be done before its folder goes.
        for (int i = 0; i < 100 && read_standin_record(folder).found && !standin_finished(folder); ++i) Sleep(100);
        vbcable_folder_test::TearDown();
    }

    DWORD install(const std::wstring& setup_path)
    {
        DeleteFileW(log().c_str());
        run_result r = run_machine(L"vbcable-install --setup \"" + setup_path + L"\" --log \"" + log() + L"\"");
        EXPECT_TRUE(r.finished) << "start error " << r.start_error;
        return r.exit_code;
    }
    std::wstring log() const { return path(L"install.log"); }
    std::vector<std::string> logged() const { return log_messages(log()); }
    std::string create_presence() const { return "create=" + to_utf8(presence) + "\n"; }
    void make_presence()
    {
        ASSERT_TRUE(CreateDirectoryW(vb_folder.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((vb_folder + L"\\CABLE").c_str(), nullptr));
        ASSERT_TRUE(write_bytes(presence, "present"));
    }

    std::wstring setup;
};

std::wstring slashed(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

TEST_F(vbcable_install, already_installed_succeeds_without_opening_the_setup_program)
{
    make_presence();
    ASSERT_TRUE(place_standin(L"setup_unsigned.exe", setup, create_presence()));
    for (const std::wstring& given : {setup, path(L"missing.exe")}) {
        SCOPED_TRACE(to_utf8(given));
        EXPECT_EQ(install(given), 0u);
        EXPECT_EQ(logged(), std::vector<std::string>{"VB-CABLE already installed; skipping"});
    }
    // Anything of that name counts, a folder too.
    remove_tree(presence);
    ASSERT_TRUE(CreateDirectoryW(presence.c_str(), nullptr));
    EXPECT_EQ(install(setup), 0u);
    EXPECT_EQ(logged(), std::vector<std::string>{"VB-CABLE already installed; skipping"});
    EXPECT_FALSE(read_standin_record(folder).found);
}

TEST_F(vbcable_install, the_presence_file_alone_judges_the_run_which_holds_the_setup_program_throughout)
{
    const struct {
        const char* name;
        bool creates_presence;
        int exit_code;
        DWORD status;
        std::string outcome;
    } cases[] = {
        {"nonzero exit, driver present", true, 3010, 0, "VB-CABLE installed (exit 3010)"},
        {"exit 0, driver present", true, 0, 0, "VB-CABLE installed (exit 0)"},
        {"exit 0, no driver", false, 0, 1, "VB-CABLE reported exit 0 but the driver is not present"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(vb_folder);
        std::string behaviour = (c.creates_presence ? create_presence() : "") + "exit=" + std::to_string(c.exit_code) + "\n";
        ASSERT_TRUE(place_standin(L"setup_signed.exe", setup, behaviour));

        EXPECT_EQ(install(setup), c.status);

        EXPECT_EQ(logged(), (std::vector<std::string>{"installing VB-CABLE", c.outcome}));
        standin_record record = read_standin_record(folder);
        ASSERT_TRUE(record.found);
        EXPECT_EQ(record.command_line, quoted_command_line(setup, "-i -h"));
        EXPECT_EQ(record.folder, to_utf8(folder));
        EXPECT_EQ(record.image, to_utf8(setup));
        // The installer's read-only-sharing handle is still open during the run.
        EXPECT_EQ(record.rename, "refused 32");
    }
}

TEST_F(vbcable_install, a_refused_setup_program_is_never_run)
{
    auto refused = [&](const std::string& signer) {
        return std::vector<std::string>{
            "VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"" + signer + "\")",
            "refusing to run it elevated"};
    };
    const struct {
        const wchar_t* standin;
        std::vector<std::string> messages;
    } cases[] = {
        {L"setup_another_signer.exe", refused("Another Signer")},
        {L"setup_tampered.exe", refused("QUARN ELIDORE")},
        {L"setup_unsigned.exe", refused("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.standin));
        ASSERT_TRUE(place_standin(c.standin, setup, create_presence()));

        EXPECT_EQ(install(setup), 1u);

        EXPECT_EQ(logged(), c.messages);
        EXPECT_FALSE(read_standin_record(folder).found);
        EXPECT_FALSE(path_exists(presence));
    }
}

TEST_F(vbcable_install, a_setup_program_missing_or_open_elsewhere_for_writing_is_not_found)
{
    const std::string not_found = "VB-CABLE setup not found at " + to_utf8(setup);
    EXPECT_EQ(install(setup), 1u);
    EXPECT_EQ(logged(), std::vector<std::string>{not_found});

    // Writable by someone else, the file could change after the check.
    ASSERT_TRUE(place_standin(L"setup_signed.exe", setup, create_presence()));
    unique_handle writer(CreateFileW(setup.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(install(setup), 1u);
    EXPECT_EQ(logged(), std::vector<std::string>{not_found});
    EXPECT_FALSE(read_standin_record(folder).found);
    EXPECT_FALSE(path_exists(presence));
}

// On Windows the link would be a junction that a standard user could point
// elsewhere between the check and the start; Wine cannot stage that race, so
// this shows where the run comes from: the final path of the file that was
// checked (also when the given path differs from it in other ways), while the
// command line and the log keep the path as given.
TEST_F(vbcable_install, a_setup_program_reached_through_a_folder_link_runs_from_the_checked_file)
{
    std::wstring real = path(L"Real");
    ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
    std::wstring real_setup = real + L"\\VBCABLE_Setup_x64.exe";
    std::wstring link = path(L"link");
    make_unix_link(real, link);
    const struct {
        const char* name;
        std::wstring given;
    } cases[] = {
        {"through a folder link", link + L"\\VBCABLE_Setup_x64.exe"},
        {"in another letter case", path(L"REAL\\vbcable_setup_x64.EXE")},
        // The working folder comes from the final path, which has backslashes.
        {"with slashes and no backslash", slashed(real_setup)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(vb_folder);
        ASSERT_TRUE(place_standin(L"setup_signed.exe", real_setup, create_presence()));

        EXPECT_EQ(install(c.given), 0u);

        EXPECT_EQ(logged(), (std::vector<std::string>{"installing VB-CABLE", "VB-CABLE installed (exit 0)"}));
        standin_record record = read_standin_record(real);
        ASSERT_TRUE(record.found);
        EXPECT_EQ(record.command_line, quoted_command_line(c.given, "-i -h"));
        EXPECT_EQ(record.image, to_utf8(real_setup));
        EXPECT_EQ(record.folder, to_utf8(real));
        EXPECT_EQ(record.rename, "refused 32");
        for (int i = 0; i < 100 && !standin_finished(real); ++i) Sleep(100);
    }
    remove_unix_link(link);
}

}  // namespace
