// vbcable-verify as the installer starts it: exit status and log lines.
#include <string>
#include <vector>

#include "base/owners.h"
#include "support/test_support.h"

namespace {

std::wstring signed_file(const wchar_t* name) { return built_program(L"trust_pki\\") + name; }

class vbcable_verify : public temp_folder_test {
protected:
    DWORD verify(const std::wstring& setup, bool elevated = true)
    {
        DeleteFileW(log().c_str());
        run_result r = run_machine(L"vbcable-verify --setup \"" + setup + L"\" --log \"" + log() + L"\"", elevated,
                                   {L"TMP=" + folder, L"TEMP=" + folder});
        EXPECT_TRUE(r.finished) << "start error " << r.start_error;
        return r.exit_code;
    }
    std::wstring log() const { return path(L"verify.log"); }
};

TEST_F(vbcable_verify, status_and_log_for_accepted_refused_and_missing_setup_programs)
{
    auto refused = [](const std::wstring& setup, const std::string& signer) {
        return "VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"" + signer + "\")";
    };
    auto not_found = [](const std::wstring& setup) { return "VB-CABLE setup not found at " + to_utf8(setup); };
    const struct {
        const char* name;
        std::wstring setup;
        bool elevated;
        DWORD status;
        std::vector<std::string> messages;
    } cases[] = {
        {"signed by the expected person", signed_file(L"vb_company.exe"), true, 0, {}},
        {"needs no elevation", signed_file(L"vb_exact.exe"), false, 0, {}},
        // Only the check's own refusal: nothing is about to be run.
        {"another signer", signed_file(L"vb_two_spaces.exe"), true, 1,
         {refused(signed_file(L"vb_two_spaces.exe"), "QUARN  ELIDORE")}},
        {"broken signature", signed_file(L"vb_tampered.exe"), true, 1,
         {refused(signed_file(L"vb_tampered.exe"), "QUARN ELIDORE")}},
        {"unsigned", signed_file(L"unsigned.exe"), true, 1, {refused(signed_file(L"unsigned.exe"), "")}},
        {"missing", path(L"VBCABLE_Setup_x64.exe"), true, 1, {not_found(path(L"VBCABLE_Setup_x64.exe"))}},
        {"a folder", folder, true, 1, {not_found(folder)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verify(c.setup, c.elevated), c.status);
        EXPECT_EQ(log_messages(log()), c.messages);
    }
}

TEST_F(vbcable_verify, a_setup_program_open_elsewhere_for_writing_is_never_examined)
{
    // Held writable by someone else, the file could change after the check: the
    // program's read-only-sharing open fails and the check is not reached, even
    // for a file that would pass it.
    std::wstring setup = path(L"VBCABLE_Setup_x64.exe");
    ASSERT_TRUE(CopyFileW(signed_file(L"vb_exact.exe").c_str(), setup.c_str(), FALSE));
    {
        unique_handle writer(CreateFileW(setup.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_EQ(verify(setup), 1u);
        EXPECT_EQ(log_messages(log()), std::vector<std::string>{"VB-CABLE setup not found at " + to_utf8(setup)});
    }
    EXPECT_EQ(verify(setup), 0u) << "once released, the same file passes";
    EXPECT_TRUE(log_messages(log()).empty());
}

}  // namespace
