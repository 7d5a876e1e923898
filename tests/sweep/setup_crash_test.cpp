// VB-CABLE's setup program ending by a crash: an access violation or another
// unhandled exception. The program logs the exit code it got, lets the
// presence file alone judge the outcome, and is done with the run (a setup
// program that hangs instead is covered by the run's time limit in
// tests/audio/run_program_test.cpp).
#include <string>
#include <vector>

#include "support/quote_argument.h"
#include "support/test_support.h"
#include "support/vbcable_standin.h"

namespace {

using setup_crash = vbcable_folder_test;

TEST_F(setup_crash, a_crashed_setup_program_is_judged_by_the_presence_file_and_its_code_logged)
{
    const std::wstring setup = path(L"VBCABLE_Setup_x64.exe");
    const std::wstring log = path(L"install.log");
    const std::string create = "create=" + to_utf8(presence) + "\n";
    const struct {
        const char* name;
        std::string behaviour;
        DWORD status;
        std::string last_line;
        bool present_after;
    } cases[] = {
        {"access violation before the driver is there", "crash=access\n", 1,
         "VB-CABLE reported exit 3221225477 but the driver is not present", false},
        {"access violation after the driver is there", create + "crash=access\n", 0,
         "VB-CABLE installed (exit 3221225477)", true},
        {"unhandled exception of its own", "crash=E0434352\n", 1,
         "VB-CABLE reported exit 3762504530 but the driver is not present", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(vb_folder);
        DeleteFileW(log.c_str());
        ASSERT_TRUE(place_standin(L"setup_signed.exe", setup, c.behaviour));

        run_result r = run_machine(L"vbcable-install --setup " + ::quoted(setup) + L" --log " + ::quoted(log));

        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(log_messages(log), (std::vector<std::string>{"installing VB-CABLE", c.last_line}));
        EXPECT_EQ(path_exists(presence), c.present_after);
        EXPECT_TRUE(read_standin_record(folder).found);
        EXPECT_FALSE(standin_finished(folder)) << "the stand-in did not crash";
        // The run is over: nothing holds the setup program any more.
        EXPECT_TRUE(DeleteFileW(setup.c_str())) << GetLastError();
    }
}

}  // namespace
