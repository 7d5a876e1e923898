// Signature and signer checks on copies of a small test program that a
// throwaway PKI signed at test time (make_test_pki.sh).
#include <string>
#include <vector>

#include "log/log.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "trust/own_image.h"
#include "trust/signature.h"

namespace {

std::wstring signed_file(const wchar_t* name) { return built_program(L"trust_pki\\") + name; }

// Opens a file the way the VB-CABLE callers do: reading, shared for reading only.
HANDLE open_shared_for_reading(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

std::wstring signer_of(const std::wstring& path)
{
    wchar_t name[SIGNER_CHARS];
    signer_name(path.c_str(), name, SIGNER_CHARS);
    return name;
}

TEST(signature, windows_verdict_and_signer_name_for_signed_broken_unsigned_and_missing_files)
{
    static const struct {
        const wchar_t* file;
        bool valid;
        const wchar_t* signer;
    } cases[] = {
        {L"vb_exact.exe", true, L"QUARN ELIDORE"},
        {L"vb_dotted_i.exe", true, L"QUARN EL\u0130DORE"},
        {L"dll_another.dll", true, L"Another Signer"},
        // A broken signature still names its signer; only the verdict tells.
        {L"vb_tampered.exe", false, L"QUARN ELIDORE"},
        {L"unsigned.exe", false, L""},
        {L"no_such_file.exe", false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.file));
        std::wstring path = signed_file(c.file);
        EXPECT_EQ(verify_signature(path.c_str(), nullptr) != 0, c.valid);
        EXPECT_EQ(verify_signature(path.c_str(), INVALID_HANDLE_VALUE) != 0, c.valid);
        unique_handle file(open_shared_for_reading(path));
        if (file) {
            EXPECT_EQ(verify_signature(path.c_str(), file.get()) != 0, c.valid);
        }
        EXPECT_EQ(signer_of(path), c.signer);
    }
}

TEST(signature, a_given_handle_is_what_windows_reads)
{
    // The path and the handle name different files: the verdict must follow the
    // handle, the file that the caller holds shut against writers.
    unique_handle signed_setup(open_shared_for_reading(signed_file(L"vb_exact.exe")));
    unique_handle unsigned_setup(open_shared_for_reading(signed_file(L"unsigned.exe")));
    ASSERT_TRUE(signed_setup && unsigned_setup);
    EXPECT_TRUE(verify_signature(signed_file(L"unsigned.exe").c_str(), signed_setup.get()));
    EXPECT_FALSE(verify_signature(signed_file(L"vb_exact.exe").c_str(), unsigned_setup.get()));
}

TEST(signature, a_signer_name_is_cut_to_the_buffer_and_terminated)
{
    wchar_t name[8];
    wmemset(name, L'#', 8);
    signer_name(signed_file(L"vb_company.exe").c_str(), name, 6);
    EXPECT_STREQ(name, L"VB-Au");
    EXPECT_EQ(name[6], L'#') << "wrote past the capacity";
}

// The camera DLL check: one verification through the held handle gives both the
// verdict and the signer of the signature it verified; no handle, no verdict.
TEST(verified_signer, verdict_and_signer_come_from_one_verification_through_the_handle)
{
    static const struct {
        const wchar_t* file;
        bool valid;
        const wchar_t* signer;
    } cases[] = {
        {L"dll_program_signer.dll", true, L"MIRVO Test Signer"},
        {L"dll_program_signer_lower.dll", true, L"mirvo test signer"},
        {L"dll_another.dll", true, L"Another Signer"},
        {L"dll_program_signer_tampered.dll", false, L""},
        {L"unsigned.dll", false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.file));
        std::wstring path = signed_file(c.file);
        unique_handle file(open_shared_for_reading(path));
        ASSERT_TRUE(file);
        wchar_t signer[SIGNER_CHARS];
        wmemset(signer, L'#', SIGNER_CHARS);
        EXPECT_EQ(verified_signer(path.c_str(), file.get(), signer, SIGNER_CHARS) != 0, c.valid);
        EXPECT_STREQ(signer, c.signer);
        // Without a handle the path is never opened in its place.
        EXPECT_FALSE(verified_signer(path.c_str(), nullptr, signer, SIGNER_CHARS));
        EXPECT_FALSE(verified_signer(path.c_str(), INVALID_HANDLE_VALUE, signer, SIGNER_CHARS));
    }
    // The handle decides, not the path it is named by.
    unique_handle ours(open_shared_for_reading(signed_file(L"dll_program_signer.dll")));
    wchar_t signer[SIGNER_CHARS];
    EXPECT_TRUE(verified_signer(signed_file(L"unsigned.dll").c_str(), ours.get(), signer, SIGNER_CHARS));
    EXPECT_STREQ(signer, L"MIRVO Test Signer");
}

// The program's own signer is read from its file mapped as data: the PKCS#7
// bytes of the certificate table, found by the security directory's offset.
TEST(signer_from_mapped_file, reads_the_certificate_table_of_a_mapped_pe_file)
{
    static const struct {
        const wchar_t* file;
        bool has_table;
        const wchar_t* signer;
    } cases[] = {
        {L"probe_signed.exe", true, L"MIRVO Test Signer"},
        {L"vb_company.exe", true, L"VB-Audio Software QUARN ELIDORE Ltd"},
        {L"dll_another.dll", true, L"Another Signer"},
        {L"probe_unsigned.exe", false, L""},
        {L"probe_unreadable_signer.exe", true, L""},  // its PKCS#7 bytes are damaged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.file));
        std::string bytes = read_bytes(signed_file(c.file));
        ASSERT_FALSE(bytes.empty());
        bool has_table = !c.has_table;
        wchar_t signer[SIGNER_CHARS];
        signer_from_mapped_file(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &has_table, signer,
                                SIGNER_CHARS);
        EXPECT_EQ(has_table, c.has_table);
        EXPECT_STREQ(signer, c.signer);
    }
    // A table that reaches past the end of the file is read as no signer, never past the end.
    std::string cut = read_bytes(signed_file(L"probe_signed.exe"));
    cut.resize(cut.size() - 16);
    bool has_table = false;
    wchar_t signer[SIGNER_CHARS];
    signer_from_mapped_file(reinterpret_cast<const unsigned char*>(cut.data()), cut.size(), &has_table, signer,
                            SIGNER_CHARS);
    EXPECT_TRUE(has_table);
    EXPECT_STREQ(signer, L"");
    // Not a PE file at all: taken as signed with no signer, so nothing is trusted through it.
    std::string text = "MZ but nothing more";
    signer_from_mapped_file(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &has_table, signer,
                            SIGNER_CHARS);
    EXPECT_TRUE(has_table);
    EXPECT_STREQ(signer, L"");
}

class signature_copy : public temp_folder_test {};

TEST_F(signature_copy, checking_a_file_leaves_nothing_open_on_it)
{
    // What Windows builds for a verification holds the file open until it is
    // released; a leak would keep a placed DLL from being replaced or deleted.
    // (Wine's signer-name read holds no handle on the file even when its store
    // and message are leaked, so here this shows the verification's release.)
    std::wstring copy = path(L"mirvo_vcam.dll");
    for (const wchar_t* file : {L"dll_program_signer.dll", L"dll_program_signer_tampered.dll", L"unsigned.dll"}) {
        SCOPED_TRACE(to_utf8(file));
        ASSERT_TRUE(CopyFileW(signed_file(file).c_str(), copy.c_str(), FALSE));
        verify_signature(copy.c_str(), nullptr);
        signer_of(copy);
        unique_handle exclusive(CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(exclusive) << "still open elsewhere (" << GetLastError() << ")";
        exclusive.reset();
        EXPECT_TRUE(DeleteFileW(copy.c_str())) << GetLastError();
    }
}

class signer_rule : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        wcscpy_s(log_path, PATH_CHARS, path(L"check.log").c_str());
    }
    void TearDown() override
    {
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }
    std::vector<std::string> logged() { return log_messages(log_path); }
};

TEST_F(signer_rule, vbcable_setup_is_accepted_only_with_a_valid_signature_naming_the_expected_person)
{
    static const struct {
        const wchar_t* file;
        bool accepted;
        const char* signer;  // as the refusal names it
    } cases[] = {
        {L"vb_exact.exe", true, ""},
        {L"vb_lower.exe", true, ""},
        {L"vb_given_first.exe", true, ""},
        {L"vb_company.exe", true, ""},         // text before and after the name
        {L"vb_ends_with_name.exe", true, ""},  // the name as the last 13 characters
        {L"vb_two_spaces.exe", false, "QUARN  ELIDORE"},
        {L"vb_twelve.exe", false, "QUARN ELIDOR"},
        {L"vb_dotted_i.exe", false, "QUARN EL\xC4\xB0" "DORE"},  // only A to Z fold
        {L"vb_tampered.exe", false, "QUARN ELIDORE"},
        {L"dll_another.dll", false, "Another Signer"},
        {L"unsigned.exe", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.file));
        DeleteFileW(log_path);
        std::wstring setup = signed_file(c.file);
        unique_handle file(open_shared_for_reading(setup));
        ASSERT_TRUE(file);
        EXPECT_EQ(check_vbcable_signer(setup.c_str(), setup.c_str(), file.get()) != 0, c.accepted);
        std::vector<std::string> expected;
        if (!c.accepted) {
            expected.push_back("VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"" +
                               c.signer + "\")");
        }
        EXPECT_EQ(logged(), expected);
    }
}

TEST_F(signer_rule, vbcable_signer_is_judged_by_the_image_path_and_its_handle_and_named_by_the_given_path)
{
    // The given path may lead elsewhere by now (a folder link pointed away after
    // the open); the verdict belongs to the held file at its final path, and the
    // message names the path the caller was given.
    const std::wstring given = path(L"VBCABLE_Setup_x64.exe");  // not there at all
    static const struct {
        const wchar_t* image;
        bool accepted;
        const char* signer;
    } cases[] = {
        {L"vb_exact.exe", true, ""},
        {L"vb_two_spaces.exe", false, "QUARN  ELIDORE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.image));
        DeleteFileW(log_path);
        std::wstring image = signed_file(c.image);
        unique_handle file(open_shared_for_reading(image));
        ASSERT_TRUE(file);
        EXPECT_EQ(check_vbcable_signer(given.c_str(), image.c_str(), file.get()) != 0, c.accepted);
        std::vector<std::string> expected;
        if (!c.accepted) {
            expected.push_back("VB-CABLE setup in " + to_utf8(given) + " is not VB-Audio's signed binary (signer \"" +
                               c.signer + "\")");
        }
        EXPECT_EQ(logged(), expected);
    }
}

// check_same_signer compares with the running program's own file, so a small
// program runs it: a signed copy and an unsigned one.
TEST_F(signer_rule, camera_dll_must_carry_the_running_programs_signer_when_that_program_is_signed)
{
    const std::string program_signer = "MIRVO Test Signer";
    static const struct {
        const wchar_t* probe;
        const wchar_t* dll;
        DWORD status;  // 0 accepted, 1 refused, 3 not opened
        int message;   // 0 none, 1 no valid signature, 2 another signer, 3 own signer unreadable
        const char* dll_signer;
    } cases[] = {
        {L"probe_signed.exe", L"dll_program_signer.dll", 0, 0, ""},
        {L"probe_signed.exe", L"dll_program_signer_lower.dll", 0, 0, ""},
        {L"probe_signed.exe", L"dll_another.dll", 1, 2, "Another Signer"},
        {L"probe_signed.exe", L"unsigned.dll", 1, 1, ""},
        {L"probe_signed.exe", L"dll_program_signer_tampered.dll", 1, 1, ""},
        // A DLL that cannot be opened is never examined: the caller reports it.
        {L"probe_signed.exe", L"no_such_file.dll", 3, 0, ""},
        // An unsigned program (a development build) takes every DLL unexamined.
        {L"probe_unsigned.exe", L"dll_another.dll", 0, 0, ""},
        {L"probe_unsigned.exe", L"unsigned.dll", 0, 0, ""},
        {L"probe_unsigned.exe", L"dll_program_signer_tampered.dll", 0, 0, ""},
        {L"probe_unsigned.exe", L"no_such_file.dll", 3, 0, ""},
        // Signed, but no signer name comes back: nothing to hold a DLL to, so none passes.
        {L"probe_unreadable_signer.exe", L"dll_program_signer.dll", 1, 3, ""},
        {L"probe_unreadable_signer.exe", L"unsigned.dll", 1, 3, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(std::wstring(c.probe) + L" " + c.dll));
        DeleteFileW(log_path);
        std::wstring dll = signed_file(c.dll);
        run_request request;
        request.program = signed_file(c.probe);
        request.arguments = L"\"" + dll + L"\" \"" + log_path + L"\"";
        run_result r = run_program(request);
        ASSERT_TRUE(r.finished) << "start error " << r.start_error;
        EXPECT_EQ(r.exit_code, c.status);
        std::vector<std::string> expected;
        if (c.message == 1) expected.push_back(to_utf8(dll) + " does not carry a valid signature - refusing to register it");
        if (c.message == 2) {
            expected.push_back(to_utf8(dll) + " is signed by \"" + c.dll_signer + "\", not by \"" + program_signer +
                               "\" - refusing to register it");
        }
        if (c.message == 3) expected.push_back("cannot read the signer of this program - refusing to register " + to_utf8(dll));
        EXPECT_EQ(logged(), expected);
    }
}

}  // namespace
