// wintrust.dll and crypt32.dll are not KnownDLLs: Windows looks for them in a
// program's own folder first. Wine normally prefers its built-in copies; with
// WINEDLLOVERRIDES="wintrust,crypt32=n,b" it searches like Windows, so a DLL
// planted beside a program is loaded wherever the program asks for it the usual
// way. Wine reads that variable from the Unix environment at process start, and
// every child inherits it from there (a value set in a child's Windows
// environment block is ignored), so this whole test program runs under it: see
// CMakeLists.txt.
#include <initializer_list>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

class planted_dll : public temp_folder_test {
protected:
    // Copies program into the test's folder beside planted copies of dlls and
    // returns the copy's path.
    std::wstring plant_beside(const std::wstring& program, const wchar_t* name,
                              std::initializer_list<const wchar_t*> dlls)
    {
        for (const wchar_t* dll : dlls) {
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

    DWORD verify(const std::wstring& machine, const std::wstring& setup)
    {
        DeleteFileW(log().c_str());
        return run(machine, L"vbcable-verify --setup \"" + setup + L"\" --log \"" + log() + L"\"");
    }
    std::wstring log() const { return path(L"verify.log"); }
};

std::wstring signed_file(const wchar_t* name) { return built_program(L"trust_pki\\") + name; }

std::string refusal(const std::wstring& setup, const std::string& signer)
{
    return "VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"" + signer + "\")";
}

TEST(planted_dll_setting, the_test_program_runs_with_the_windows_search_order_for_wintrust_and_crypt32)
{
    wchar_t value[256] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", value, 256);
    EXPECT_STREQ(value, L"wintrust,crypt32=n,b");
}

// The control: without it the tests below would pass just as well if the
// override did nothing. A forged setup program (VB-Audio's signer name, a
// broken signature) is refused by System32's wintrust and passed by the planted one.
TEST_F(planted_dll, control_a_program_importing_wintrust_the_usual_way_gets_the_planted_copy)
{
    std::wstring forged = L"\"" + signed_file(L"vb_tampered.exe") + L"\"";
    std::wstring caller = built_program(L"trust_parts\\plain_wintrust_caller.exe");
    EXPECT_EQ(run(caller, forged), 1u) << "without a planted DLL beside it";

    std::wstring planted_caller = plant_beside(caller, L"caller.exe", {L"wintrust.dll"});
    EXPECT_EQ(run(planted_caller, forged), 0u) << "the planted wintrust passes it";
    EXPECT_TRUE(path_exists(path(L"wintrust.dll.loaded")));
}

TEST_F(planted_dll, mirvo_machine_beside_a_planted_wintrust_still_refuses_forged_and_unsigned_setup_programs)
{
    std::wstring machine = plant_beside(built_program(L"mirvo_machine.exe"), L"mirvo_machine.exe", {L"wintrust.dll"});
    const struct {
        const wchar_t* file;
        const char* signer;
    } cases[] = {{L"vb_tampered.exe", "QUARN ELIDORE"}, {L"unsigned.exe", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.file));
        EXPECT_EQ(verify(machine, signed_file(c.file)), 1u);
        EXPECT_EQ(log_messages(log()), std::vector<std::string>{refusal(signed_file(c.file), c.signer)});
    }
    EXPECT_FALSE(planted_loaded());
}

TEST_F(planted_dll, mirvo_machine_beside_planted_wintrust_and_crypt32_loads_neither_and_still_accepts_a_good_setup)
{
    std::wstring machine =
        plant_beside(built_program(L"mirvo_machine.exe"), L"mirvo_machine.exe", {L"wintrust.dll", L"crypt32.dll"});
    EXPECT_EQ(verify(machine, signed_file(L"vb_exact.exe")), 0u);
    EXPECT_TRUE(log_messages(log()).empty());
    EXPECT_EQ(verify(machine, signed_file(L"vb_tampered.exe")), 1u);
    EXPECT_FALSE(planted_loaded());
}

}  // namespace
