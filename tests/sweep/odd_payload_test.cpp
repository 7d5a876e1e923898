// Payload files that are not what their names promise: empty, text, a DLL
// where a program belongs, or a link. Nothing is run or registered that was
// not checked; each run ends with its documented status and says why.
#include <string>
#include <vector>

#include "support/camera_state.h"
#include "support/quote_argument.h"
#include "support/test_support.h"
#include "support/unix_links.h"
#include "support/vbcable_standin.h"

namespace {

enum class payload_kind { empty, text, dll, link_to_good };

// Makes path as kind has it; good is the right payload a link points at.
void make_payload(payload_kind kind, const std::wstring& path, const std::wstring& good)
{
    switch (kind) {
    case payload_kind::empty:
        ASSERT_TRUE(write_bytes(path, ""));
        break;
    case payload_kind::text:
        ASSERT_TRUE(write_bytes(path, "MZ not a program at all\r\n"));
        break;
    case payload_kind::dll:
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_camera_good.dll").c_str(), path.c_str(), FALSE));
        break;
    case payload_kind::link_to_good:
        ASSERT_NO_FATAL_FAILURE(make_unix_link(good, path));
        break;
    }
}

// Removes a payload without ever deleting what a link points at.
void remove_payload(payload_kind kind, const std::wstring& path)
{
    if (kind == payload_kind::link_to_good) {
        remove_unix_link(path);
    } else {
        DeleteFileW(path.c_str());
    }
}

class odd_payload : public vbcable_folder_test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(vbcable_folder_test::SetUp());
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
    }
    void TearDown() override
    {
        clean_camera_state();
        vbcable_folder_test::TearDown();
    }
};

TEST_F(odd_payload, setup_programs_that_are_not_vb_audios_are_never_run)
{
    const std::wstring real_folder = path(L"real");
    ASSERT_TRUE(CreateDirectoryW(real_folder.c_str(), nullptr));
    const std::wstring good = real_folder + L"\\VBCABLE_Setup_x64.exe";
    const std::wstring presence = vb_folder + L"\\CABLE\\VBCABLE_ControlPanel.exe";
    ASSERT_TRUE(place_standin(L"setup_signed.exe", good, "create=" + to_utf8(presence) + "\n"));
    const std::wstring setup = path(L"VBCABLE_Setup_x64.exe");
    const std::wstring log = path(L"install.log");
    const std::string refusal = "refusing to run it elevated";
    const struct {
        const char* name;
        payload_kind kind;
        DWORD status;
        std::vector<std::string> log;
        bool ran;
    } cases[] = {
        {"empty file", payload_kind::empty, 1,
         {"VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"\")", refusal}, false},
        {"text file", payload_kind::text, 1,
         {"VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"\")", refusal}, false},
        {"a DLL of another signer", payload_kind::dll, 1,
         {"VB-CABLE setup in " + to_utf8(setup) + " is not VB-Audio's signed binary (signer \"MIRVO Test Signer\")",
          refusal},
         false},
        // A link on the way is resolved: the checked file is what runs, from its real folder.
        {"a link to the signed setup program", payload_kind::link_to_good, 0,
         {"installing VB-CABLE", "VB-CABLE installed (exit 0)"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_tree(vb_folder);
        DeleteFileW(log.c_str());
        DeleteFileW((real_folder + L"\\standin_record.txt").c_str());
        ASSERT_NO_FATAL_FAILURE(make_payload(c.kind, setup, good));

        run_result r = run_machine(L"vbcable-install --setup " + ::quoted(setup) + L" --log " + ::quoted(log));

        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(log_messages(log), c.log);
        EXPECT_EQ(path_exists(presence), c.ran);
        standin_record record = read_standin_record(real_folder);
        EXPECT_EQ(record.found, c.ran);
        if (c.ran) {
            EXPECT_EQ(record.image, to_utf8(good));
            EXPECT_EQ(record.command_line, quoted_command_line(setup, "-i -h"));
        }
        remove_payload(c.kind, setup);
        EXPECT_TRUE(path_exists(good));
    }
}

TEST_F(odd_payload, camera_dlls_that_are_empty_text_or_links_are_never_registered)
{
    const std::wstring camera = program_files() + L"\\mirvo\\Camera";
    const std::wstring target = camera + L"\\mirvo_vcam.dll";
    const std::wstring good = camera_payload(L"test_camera_good.dll");
    const std::wstring source = path(L"source");
    ASSERT_TRUE(CreateDirectoryW(source.c_str(), nullptr));
    const std::wstring dll = source + L"\\mirvo_vcam.dll";
    const std::wstring log = path(L"install.log");
    // Refused where Setup left it, before anything reaches the camera folder.
    const std::string unsigned_line = to_utf8(dll) + " does not carry a valid signature - refusing to register it";
    const struct {
        const char* name;
        payload_kind kind;
        bool signed_program;  // else a development build, which takes any DLL
        std::vector<std::string> log;
        bool target_after;
    } cases[] = {
        {"empty", payload_kind::empty, true, {unsigned_line}, false},
        {"text", payload_kind::text, true, {unsigned_line}, false},
        {"a link to the signed DLL", payload_kind::link_to_good, true,
         {"copy to " + to_utf8(target) + ".new failed (5)",
          "the camera DLL could not be put in place intact; the camera this machine already has is untouched"},
         false},
        // A development build places what it is given; a file that is not a DLL
        // never loads, so it registers nothing.
        {"text, development build", payload_kind::text, false,
         {"DllUnregisterServer returned 0x800700c1 (continuing)",
          "DllRegisterServer returned 0x800700c1 - the camera is NOT registered"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        DeleteFileW(log.c_str());
        ASSERT_NO_FATAL_FAILURE(make_payload(c.kind, dll, good));
        run_request request;
        request.program = c.signed_program ? signed_machine() : camera_payload(L"machine\\unsigned\\mirvo_machine.exe");
        request.arguments = L"camera-install --vcam-dir " + ::quoted(source) + L" --log " + ::quoted(log);

        run_result r = run_program(request);

        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, 1u);
        EXPECT_EQ(log_messages(log), c.log);
        EXPECT_EQ(path_exists(target), c.target_after);
        EXPECT_FALSE(path_exists(target + L".new"));
        EXPECT_FALSE(vcam_keys_name(target));
        remove_payload(c.kind, dll);
        EXPECT_TRUE(path_exists(good));
    }
}

}  // namespace
