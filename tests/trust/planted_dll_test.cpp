// wintrust.dll and crypt32.dll are not KnownDLLs: Windows looks for them in a
// program's own folder first. Wine normally prefers its built-in copies; with
// WINEDLLOVERRIDES="wintrust,crypt32=n,b" it searches like Windows, so a DLL
// planted beside a program is loaded wherever the program asks for it the usual
// way. Wine reads that variable from the Unix environment at process start, and
// every child inherits it from there (a value set in a child's Windows
// environment block is ignored), so this whole test program runs under it: see
// CMakeLists.txt.
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

class planted_dll : public temp_folder_test {
protected:
    // Copies program beside planted wintrust.dll and crypt32.dll in the test's
    // folder and returns the copy's path.
    std::wstring plant_beside(const std::wstring& program, const wchar_t* name)
    {
        for (const wchar_t* dll : {L"wintrust.dll", L"crypt32.dll"}) {
            EXPECT_TRUE(CopyFileW(built_program((std::wstring(L"planted\\") + dll).c_str()).c_str(),
                                  path(dll).c_str(), FALSE));
        }
        EXPECT_TRUE(CopyFileW(program.c_str(), path(name).c_str(), FALSE));
        return path(name);
    }

    bool planted_loaded() const
    {
        return path_exists(path(L"wintrust.dll.loaded")) || path_exists(path(L"crypt32.dll.loaded"));
    }

    DWORD run(const std::wstring& program, const std::wstring& arguments)
    {
        run_request request;
        request.program = program;
        request.arguments = arguments;
        request.environment = {L"TMP=" + folder, L"TEMP=" + folder};
        run_result r = run_program(request);
        EXPECT_TRUE(r.finished) << "start error " << r.start_error;
        return r.exit_code;
    }
};

std::wstring signed_file(const wchar_t* name) { return built_program(L"trust_pki\\") + name; }

TEST(planted_dll_setting, the_test_program_runs_with_the_windows_search_order_for_wintrust_and_crypt32)
{
    wchar_t value[256] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", value, 256);
    EXPECT_STREQ(value, L"wintrust,crypt32=n,b");
}

// The control: without it the test below would pass just as well if the
// override did nothing.
TEST_F(planted_dll, control_a_program_importing_wintrust_the_usual_way_gets_the_planted_copy)
{
    std::wstring unsigned_file = L"\"" + signed_file(L"unsigned.exe") + L"\"";
    EXPECT_EQ(run(built_program(L"trust_parts\\plain_wintrust_caller.exe"), unsigned_file), 1u)
        << "without a planted DLL beside it, System32's wintrust refuses an unsigned file";

    std::wstring caller = plant_beside(built_program(L"trust_parts\\plain_wintrust_caller.exe"), L"caller.exe");
    EXPECT_EQ(run(caller, unsigned_file), 0u) << "the planted wintrust accepts it";
    EXPECT_TRUE(path_exists(path(L"wintrust.dll.loaded")));
}

TEST_F(planted_dll, mirvo_machine_never_loads_a_planted_wintrust_or_crypt32_and_still_refuses_unsigned_files)
{
    std::wstring machine = plant_beside(built_program(L"mirvo_machine.exe"), L"mirvo_machine.exe");
    std::wstring log = path(L"verify.log");
    std::wstring unsigned_setup = signed_file(L"unsigned.exe");

    EXPECT_EQ(run(machine, L"vbcable-verify --setup \"" + unsigned_setup + L"\" --log \"" + log + L"\""), 1u);
    EXPECT_EQ(log_messages(log), std::vector<std::string>{"VB-CABLE setup in " + to_utf8(unsigned_setup) +
                                                          " is not VB-Audio's signed binary (signer \"\")"});
    // A properly signed file still passes: the checks ran on System32's copies.
    EXPECT_EQ(run(machine, L"vbcable-verify --setup \"" + signed_file(L"vb_exact.exe") + L"\" --log \"" + log + L"\""),
              0u);
    EXPECT_FALSE(planted_loaded());
}

}  // namespace
