// A file in the camera folder held open by another process while an update
// comes: the app that has the camera DLL loaded, or a process that holds it
// without sharing deletion. The update fails with status 1 and a line that
// says why, and the camera the machine had stays whole: the old DLL in place,
// no staging copy, the class keys naming it.
#include <string>
#include <vector>

#include "support/camera_state.h"
#include "support/quote_argument.h"
#include "support/running_program.h"
#include "support/test_support.h"

namespace {

class held_camera_file : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        camera = program_files() + L"\\mirvo\\Camera";
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
    }
    void TearDown() override
    {
        clean_camera_state();
        temp_folder_test::TearDown();
    }

    // A source folder holding payloads under the names the program looks for.
    std::wstring source(const wchar_t* name, const std::vector<std::pair<std::wstring, std::wstring>>& files)
    {
        std::wstring folder_path = path(name);
        remove_tree(folder_path);
        EXPECT_TRUE(CreateDirectoryW(folder_path.c_str(), nullptr));
        for (const auto& [from, to] : files) {
            EXPECT_TRUE(CopyFileW(camera_payload(from).c_str(), (folder_path + L"\\" + to).c_str(), FALSE));
        }
        return folder_path;
    }

    DWORD install(const std::wstring& arguments)
    {
        run_request request;
        request.program = signed_machine();
        request.arguments = L"camera-install " + arguments + L" --log " + ::quoted(path(L"install.log"));
        run_result r = run_program(request);
        EXPECT_TRUE(r.finished) << "start error " << r.start_error;
        return r.exit_code;
    }

    std::wstring camera;
};

TEST_F(held_camera_file, an_update_over_a_held_dll_fails_and_leaves_the_camera_the_machine_had)
{
    const std::wstring vcam = camera + L"\\mirvo_vcam.dll";
    const std::wstring t64 = camera + L"\\mirvo_dshow64.dll";
    const std::wstring t32 = camera + L"\\mirvo_dshow32.dll";
    const std::string refused = "renaming over " + to_utf8(vcam) + " refused (5)";
    std::vector<std::string> four_refusals;
    for (int i = 0; i < 4; ++i) {
        four_refusals.insert(four_refusals.end(),
                             {refused, "stopping the Windows camera service so a loaded camera DLL is released",
                              "service FrameServerMonitor: not opened (1060)", "service FrameServer: not opened (1060)"});
    }
    std::vector<std::string> vcam_log = four_refusals;
    vcam_log.push_back("the camera DLL could not be put in place intact; the camera this machine already has is untouched");
    const struct {
        const char* name;
        bool directshow;
        bool loaded;             // loaded as a DLL, else opened sharing reads only
        const wchar_t* held;     // which installed file the other process holds
        std::vector<std::string> log;
        std::vector<std::string> names_after;  // in the camera folder
    } cases[] = {
        {"Windows 11 camera DLL loaded by an app", false, true, L"mirvo_vcam.dll", vcam_log, {"mirvo_vcam.dll"}},
        {"Windows 11 camera DLL held without delete sharing", false, false, L"mirvo_vcam.dll", vcam_log,
         {"mirvo_vcam.dll"}},
        {"64-bit DirectShow DLL held without delete sharing", true, false, L"mirvo_dshow64.dll",
         {to_utf8(t64) + " could not be moved aside (32); trying to copy over it",
          "copy to " + to_utf8(t64) + " failed (32)"},
         {"mirvo_dshow32.dll", "mirvo_dshow64.dll"}},
    };
    // Held 32-bit DLL (the 64-bit one was placed first): see
    // a_held_32_bit_dll_leaves_the_checked_new_64_bit_one below.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        std::wstring arguments_v1, arguments_v2;
        if (c.directshow) {
            arguments_v1 = L"--dshow-dir " + ::quoted(source(L"v1", {{L"test_dshow64.dll", L"mirvo_dshow64.dll"},
                                                                   {L"test_dshow32.dll", L"mirvo_dshow32.dll"}}));
            arguments_v2 = L"--dshow-dir " + ::quoted(source(L"v2", {{L"test_dshow64_v2.dll", L"mirvo_dshow64.dll"},
                                                                   {L"test_dshow32_v2.dll", L"mirvo_dshow32.dll"}}));
        } else {
            arguments_v1 = L"--vcam-dir " + ::quoted(source(L"v1", {{L"test_camera_good.dll", L"mirvo_vcam.dll"}}));
            arguments_v2 = L"--vcam-dir " + ::quoted(source(L"v2", {{L"test_camera_good_v2.dll", L"mirvo_vcam.dll"}}));
        }
        ASSERT_EQ(install(arguments_v1), 0u);
        const std::wstring held = camera + L"\\" + c.held;
        DeleteFileW(path(L"install.log").c_str());
        DeleteFileW(path(L"holder.ready").c_str());
        std::wstring holder_arguments = ::quoted(path(L"holder.ready")) + (c.loaded ? L" " : L" --open ") + ::quoted(held);
        running_program holder(built_program(L"dll_holder.exe"), holder_arguments);
        for (int i = 0; i < 200 && !path_exists(path(L"holder.ready")) && !holder.ended(); ++i) Sleep(50);
        ASSERT_TRUE(path_exists(path(L"holder.ready")));

        EXPECT_EQ(install(arguments_v2), 1u);

        EXPECT_EQ(log_messages(path(L"install.log")), c.log);
        EXPECT_EQ(names_in(camera), c.names_after);
        if (c.directshow) {
            EXPECT_TRUE(read_bytes(t64) == read_bytes(camera_payload(L"test_dshow64.dll"))) << "64-bit DLL changed";
            EXPECT_TRUE(read_bytes(t32) == read_bytes(camera_payload(L"test_dshow32.dll"))) << "32-bit DLL changed";
            EXPECT_TRUE(dshow_keys_name(t64, t32));
        } else {
            EXPECT_TRUE(read_bytes(vcam) == read_bytes(camera_payload(L"test_camera_good.dll"))) << "DLL changed";
            EXPECT_TRUE(vcam_keys_name(vcam));
        }
        holder.end();
    }
}

// The 64-bit DLL is moved aside and replaced before the 32-bit one is found
// held. The new 64-bit DLL carries our signer, so it stays where the keys of the
// earlier install lead (the 64-bit camera keeps working, now with the new DLL);
// the earlier one stays under its aside name until the next successful run
// deletes it, and the 32-bit camera is untouched.
TEST_F(held_camera_file, a_held_32_bit_dll_leaves_the_checked_new_64_bit_one)
{
    const std::wstring t64 = camera + L"\\mirvo_dshow64.dll";
    const std::wstring t32 = camera + L"\\mirvo_dshow32.dll";
    ASSERT_EQ(install(L"--dshow-dir " + ::quoted(source(L"v1", {{L"test_dshow64.dll", L"mirvo_dshow64.dll"},
                                                               {L"test_dshow32.dll", L"mirvo_dshow32.dll"}}))),
              0u);
    DeleteFileW(path(L"install.log").c_str());
    running_program holder(built_program(L"dll_holder.exe"),
                           ::quoted(path(L"holder.ready")) + L" --open " + ::quoted(t32));
    for (int i = 0; i < 200 && !path_exists(path(L"holder.ready")) && !holder.ended(); ++i) Sleep(50);
    ASSERT_TRUE(path_exists(path(L"holder.ready")));

    EXPECT_EQ(install(L"--dshow-dir " + ::quoted(source(L"v2", {{L"test_dshow64_v2.dll", L"mirvo_dshow64.dll"},
                                                               {L"test_dshow32_v2.dll", L"mirvo_dshow32.dll"}}))),
              1u);

    EXPECT_EQ(log_messages(path(L"install.log")),
              (std::vector<std::string>{to_utf8(t32) + " could not be moved aside (32); trying to copy over it",
                                        "copy to " + to_utf8(t32) + " failed (32)"}));
    std::vector<std::string> names = names_in(camera);
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], "mirvo_dshow32.dll");
    EXPECT_EQ(names[1], "mirvo_dshow64.dll");
    EXPECT_EQ(names[2].rfind("mirvo_dshow64.dll.", 0), 0u);
    EXPECT_TRUE(read_bytes(t32) == read_bytes(camera_payload(L"test_dshow32.dll"))) << "32-bit DLL changed";
    EXPECT_TRUE(read_bytes(t64) == read_bytes(camera_payload(L"test_dshow64_v2.dll"))) << "new 64-bit DLL gone";
    EXPECT_TRUE(read_bytes(camera + L"\\" + to_wide(names[2])) == read_bytes(camera_payload(L"test_dshow64.dll")));
    EXPECT_TRUE(dshow_keys_name(t64, t32));
}

}  // namespace
