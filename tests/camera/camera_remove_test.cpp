// camera-remove as its callers start it, against cameras put into the tests'
// Wine prefix by hand: the camera folder under C:\Program Files\mirvo, the four
// class keys in HKLM and the leftovers under C:\ProgramData\mirvo.
#include <string>
#include <vector>

#include "camera/camera_constants.h"
#include "log/log.h"
#include "base/owners.h"
#include "support/camera_state.h"
#include "support/stand_in_services.h"
#include "support/test_support.h"
#include "support/unix_links.h"
#include "system/com_class.h"

namespace {

const std::wstring PARENT = L"C:\\Program Files\\mirvo";
const std::wstring CAMERA = PARENT + L"\\Camera";
const std::wstring VCAM_DLL = CAMERA + L"\\mirvo_vcam.dll";
const std::wstring LEGACY = L"C:\\ProgramData\\mirvo";
const std::wstring LEGACY_CAMERA = LEGACY + L"\\vcam";

const std::string REMOVED = "MIRVO cameras unregistered and C:\\Program Files\\mirvo\\Camera removed";
const std::string STILL_THERE =
    "C:\\Program Files\\mirvo\\Camera is still there (a camera DLL that is loaded somewhere); the next restart of "
    "Windows frees it";
const std::string LINK = "C:\\ProgramData\\mirvo is a link to another folder: removing the link, not what it points at";
const std::string STOPPING = "stopping the Windows camera service so a loaded camera DLL is released";

constexpr DWORD VIEWS[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

void delete_camera_classes()
{
    for (DWORD view : VIEWS) {
        unique_key root;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLSID_ROOT, 0, KEY_ALL_ACCESS | view, root.put()) != ERROR_SUCCESS) {
            continue;
        }
        for (const wchar_t* id : vcam_class_ids) RegDeleteTreeW(root.get(), id);
        for (const wchar_t* id : dshow_class_ids) RegDeleteTreeW(root.get(), id);
    }
}

bool is_link(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class camera_remove_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << GetLastError();
        clear_machine();  // a leftover of an interrupted run
        log_file = path(L"machine.log");
        record = path(L"record.txt");
    }

    void TearDown() override
    {
        held_file.reset();
        held_dll.reset();
        clear_machine();
        temp_folder_test::TearDown();
    }

    void clear_machine()
    {
        for (const wchar_t* name : {L"FrameServerMonitor", L"FrameServer"}) {
            remove_stand_in_service(manager.get(), name);
        }
        if (is_link(LEGACY)) remove_unix_link(LEGACY);
        remove_tree(LEGACY);
        remove_tree(PARENT);
        delete_camera_classes();
    }

    // The Windows 11 camera as an install leaves it: the DLL in the camera
    // folder and its two classes in the 64-bit view pointing at it, plus (as
    // some machines have) a copy of them in the 32-bit view.
    void install_vcam_by_hand(const std::wstring& dll_source)
    {
        ASSERT_TRUE(make_camera_folder(CAMERA));
        ASSERT_TRUE(CopyFileW(dll_source.c_str(), VCAM_DLL.c_str(), FALSE)) << GetLastError();
        for (const wchar_t* id : vcam_class_ids) {
            ASSERT_TRUE(write_com_class(id, L"MIRVO", VCAM_DLL.c_str(), KEY_WOW64_64KEY));
            ASSERT_TRUE(write_com_class(id, L"MIRVO", VCAM_DLL.c_str(), KEY_WOW64_32KEY));
        }
    }

    // The DirectShow camera: both filters in the camera folder, both classes
    // in the 64-bit view for the 64-bit filter and the 32-bit view for the other.
    void install_dshow_by_hand()
    {
        ASSERT_TRUE(make_camera_folder(CAMERA));
        const std::wstring parts = built_program(L"camera_parts\\");
        const std::wstring dll64 = CAMERA + L"\\mirvo_dshow64.dll", dll32 = CAMERA + L"\\mirvo_dshow32.dll";
        ASSERT_TRUE(CopyFileW((parts + L"test_dshow64.dll").c_str(), dll64.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((parts + L"test_dshow32.dll").c_str(), dll32.c_str(), FALSE));
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(write_com_class(dshow_class_ids[i], dshow_friendly_names[i], dll64.c_str(), KEY_WOW64_64KEY));
            ASSERT_TRUE(write_com_class(dshow_class_ids[i], dshow_friendly_names[i], dll32.c_str(), KEY_WOW64_32KEY));
        }
    }

    static bool make_camera_folder(const std::wstring& folder)
    {
        CreateDirectoryW(PARENT.c_str(), nullptr);
        return CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    }

    run_result remove(bool elevated = true)
    {
        return run_machine(L"camera-remove --log \"" + log_file + L"\"", elevated,
                           {L"MIRVO_TEST_CAMERA_RECORD=" + record});
    }

    std::vector<std::string> messages() { return log_messages(log_file); }

    unique_service manager;
    std::wstring log_file;
    std::wstring record;
    unique_handle held_file;
    unique_module held_dll;
};

TEST_F(camera_remove_test, refused_without_elevation_leaving_the_camera_and_no_log)
{
    install_dshow_by_hand();
    ASSERT_TRUE(CreateDirectoryW(LEGACY.c_str(), nullptr));

    run_result run = remove(false);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 3u);
    EXPECT_FALSE(path_exists(log_file));
    EXPECT_TRUE(path_exists(CAMERA + L"\\mirvo_dshow64.dll"));
    EXPECT_TRUE(path_exists(LEGACY));
    for (DWORD view : VIEWS) EXPECT_TRUE(class_exists(dshow_class_ids[0], view));
}

TEST_F(camera_remove_test, a_machine_without_a_camera_only_gets_the_closing_line)
{
    run_result run = remove();

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), std::vector<std::string>{REMOVED});
    EXPECT_FALSE(path_exists(PARENT));
}

// The DLL is asked to unregister itself when it can be; whatever it is, the
// program deletes the classes itself and says nothing about the DLL.
TEST_F(camera_remove_test, the_windows_11_camera_goes_with_its_folder_and_the_empty_parent)
{
    ASSERT_TRUE(write_bytes(path(L"not_a_dll.dll"), "plain text, not an image"));
    const std::wstring parts = built_program(L"camera_parts\\");
    const struct {
        const char* name;
        std::wstring dll;
        std::string recorded;
    } cases[] = {
        {"a DLL that unregisters", parts + L"test_camera_good.dll", "unregister " + to_utf8(VCAM_DLL) + "\n"},
        {"a DLL without DllUnregisterServer", parts + L"test_camera_no_unregister.dll", ""},
        {"a DLL whose unregistration fails", parts + L"test_camera_unregister_fails.dll",
         "unregister " + to_utf8(VCAM_DLL) + "\n"},
        {"a file that cannot be loaded", path(L"not_a_dll.dll"), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_machine();
        DeleteFileW(log_file.c_str());
        DeleteFileW(record.c_str());
        install_vcam_by_hand(c.dll);

        run_result run = remove();

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(messages(), std::vector<std::string>{REMOVED});
        EXPECT_EQ(read_bytes(record), c.recorded);
        for (const wchar_t* id : vcam_class_ids) {
            EXPECT_FALSE(class_exists(id, KEY_WOW64_64KEY));
            EXPECT_TRUE(class_exists(id, KEY_WOW64_32KEY)) << "only the 64-bit view is cleared";
        }
        EXPECT_FALSE(path_exists(PARENT));
    }
}

// Removal runs the DLL's own DllUnregisterServer as administrator: only a DLL
// that carries the program's own signer is loaded at all. Signed copies of the
// program run here; the test DLL records every call of its entry points.
TEST_F(camera_remove_test, a_camera_dll_that_fails_the_signer_check_is_never_loaded)
{
    const std::wstring payloads = built_program(L"camera_payloads\\");
    const std::string refused = to_utf8(VCAM_DLL) + " does not pass the signer check - its classes are removed without "
                                                    "calling it";
    const struct {
        const char* name;
        const wchar_t* program;  // under camera_payloads\machine
        const wchar_t* dll;      // under camera_payloads
        bool called;
    } cases[] = {
        {"our signer: called", L"signed", L"test_camera_good.dll", true},
        {"another signer", L"signed", L"another\\test_camera_good.dll", false},
        {"no signature", L"signed", L"unsigned\\test_camera_good.dll", false},
        {"the program's own signer cannot be read", L"corrupt_signer", L"test_camera_good.dll", false},
        {"a development build calls any DLL", L"unsigned", L"another\\test_camera_good.dll", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_machine();
        DeleteFileW(log_file.c_str());
        DeleteFileW(record.c_str());
        install_vcam_by_hand(payloads + c.dll);
        run_request request;
        request.program = payloads + L"machine\\" + c.program + L"\\mirvo_machine.exe";
        request.arguments = L"camera-remove --log \"" + log_file + L"\"";
        request.environment = {L"MIRVO_TEST_CAMERA_RECORD=" + record};

        run_result run = run_program(request);

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u);
        std::vector<std::string> expected;
        if (!c.called) expected.push_back(refused);
        expected.push_back(REMOVED);
        EXPECT_EQ(messages(), expected);
        EXPECT_EQ(read_bytes(record), c.called ? "unregister " + to_utf8(VCAM_DLL) + "\n" : "");
        for (const wchar_t* id : vcam_class_ids) EXPECT_FALSE(class_exists(id, KEY_WOW64_64KEY));
        EXPECT_FALSE(path_exists(PARENT));
    }
}

TEST_F(camera_remove_test, the_directshow_camera_goes_from_both_views)
{
    install_dshow_by_hand();

    run_result run = remove();

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), std::vector<std::string>{REMOVED});
    for (const wchar_t* id : dshow_class_ids) {
        for (DWORD view : VIEWS) EXPECT_FALSE(class_exists(id, view)) << to_utf8(id) << " " << to_utf8(view_name(view));
    }
    EXPECT_FALSE(path_exists(PARENT));
}

// Another process (this one) has the camera DLL loaded, as an app using the
// camera would: the DLL and its folders stay until Windows restarts.
TEST_F(camera_remove_test, a_camera_dll_loaded_elsewhere_keeps_its_folder_and_parent)
{
    install_vcam_by_hand(built_program(L"camera_parts\\test_camera_good.dll"));
    ASSERT_TRUE(write_bytes(CAMERA + L"\\mirvo_vcam.dll.old", "an older copy"));
    held_dll.reset(LoadLibraryW(VCAM_DLL.c_str()));
    ASSERT_TRUE(held_dll) << GetLastError();

    run_result run = remove();

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), std::vector<std::string>{STILL_THERE});
    EXPECT_EQ(read_bytes(record), "unregister " + to_utf8(VCAM_DLL) + "\n");
    EXPECT_TRUE(path_exists(VCAM_DLL));
    EXPECT_FALSE(path_exists(CAMERA + L"\\mirvo_vcam.dll.old")) << "what is not held goes";
    for (const wchar_t* id : vcam_class_ids) EXPECT_FALSE(class_exists(id, KEY_WOW64_64KEY));
}

TEST_F(camera_remove_test, a_parent_holding_anything_else_stays)
{
    const struct {
        const char* name;
        std::wstring entry;
        bool folder;
        DWORD attributes;
    } cases[] = {
        {"a file", PARENT + L"\\notes.txt", false, FILE_ATTRIBUTE_NORMAL},
        {"a hidden file", PARENT + L"\\.state", false, FILE_ATTRIBUTE_HIDDEN},
        {"an empty folder", PARENT + L"\\Other", true, FILE_ATTRIBUTE_DIRECTORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_machine();
        DeleteFileW(log_file.c_str());
        install_dshow_by_hand();
        if (c.folder) {
            ASSERT_TRUE(CreateDirectoryW(c.entry.c_str(), nullptr));
        } else {
            ASSERT_TRUE(write_bytes(c.entry, "somebody else's"));
            ASSERT_TRUE(SetFileAttributesW(c.entry.c_str(), c.attributes));
        }

        run_result run = remove();

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(messages(), std::vector<std::string>{REMOVED});
        EXPECT_FALSE(path_exists(CAMERA));
        EXPECT_TRUE(path_exists(c.entry));
        SetFileAttributesW(c.entry.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// Wine shows a Unix symbolic link to a folder as a folder that is a reparse
// point, as a junction looks on Windows. Under Wine the link itself cannot be
// removed while its target holds anything, so only what Windows would show as
// well is checked: the line, and nothing behind the link touched.
TEST_F(camera_remove_test, a_programdata_link_is_named_and_nothing_behind_it_touched)
{
    const std::wstring target = path(L"elsewhere");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((target + L"\\vcam").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(target + L"\\vcam\\mirvo_vcam.dll", "a camera"));
    ASSERT_TRUE(write_bytes(target + L"\\readme.txt", "somebody else's"));
    make_unix_link(target, LEGACY);
    ASSERT_TRUE(is_link(LEGACY));

    run_result run = remove();

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), (std::vector<std::string>{LINK, REMOVED}));
    EXPECT_EQ(read_bytes(target + L"\\vcam\\mirvo_vcam.dll"), "a camera");
    EXPECT_EQ(read_bytes(target + L"\\readme.txt"), "somebody else's");
}

// test_service.exe plays FrameServerMonitor and FrameServer (Wine has neither);
// the FrameServer stand-in can hold a file in the old camera folder open until
// it is stopped, as the real one holds a camera DLL it loaded.
TEST_F(camera_remove_test, an_old_camera_folder_that_survives_gets_one_frame_server_stop_and_one_more_try)
{
    const std::wstring held = LEGACY_CAMERA + L"\\mirvo_vcam.dll";
    const struct {
        const char* name;
        bool services;         // the stand-ins run
        bool service_holds;    // FrameServer holds the DLL until stopped
        bool this_holds;       // this process holds it and never lets go
        std::vector<std::string> messages;
        std::vector<std::string> events;
        bool legacy_left;
    } cases[] = {
        {"nothing holds it: the services are not touched", true, false, false, {REMOVED}, {}, false},
        {"the Frame Server holds it", true, true, false, {STOPPING, REMOVED},
         {"FrameServerMonitor stop requested", "FrameServerMonitor stopped", "FrameServer stop requested",
          "FrameServer stopped"},
         false},
        {"a process that is not stopped holds it", false, false, true,
         {STOPPING, "service FrameServerMonitor: not opened (1060)", "service FrameServer: not opened (1060)",
          REMOVED}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        held_file.reset();
        clear_machine();
        DeleteFileW(log_file.c_str());
        const std::wstring events = path(L"events.txt");
        DeleteFileW(events.c_str());
        ASSERT_TRUE(CreateDirectoryW(LEGACY.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(LEGACY_CAMERA.c_str(), nullptr));
        ASSERT_TRUE(write_bytes(held, "an old camera"));
        ASSERT_TRUE(write_bytes(LEGACY_CAMERA + L"\\settings.ini", "old settings"));
        if (c.services) {
            ASSERT_TRUE(install_stand_in_service(manager.get(), L"FrameServerMonitor", L"stops", 0, events));
            ASSERT_TRUE(install_stand_in_service(manager.get(), L"FrameServer", L"stops", 0, events, true,
                                                 c.service_holds ? held : L""));
        }
        if (c.this_holds) {
            held_file.reset(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held_file) << GetLastError();
        }

        run_result run = remove();

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(messages(), c.messages);
        EXPECT_EQ(service_events(events), c.events);
        EXPECT_EQ(path_exists(LEGACY), c.legacy_left);
        EXPECT_EQ(path_exists(held), c.legacy_left);
        EXPECT_FALSE(path_exists(LEGACY_CAMERA + L"\\settings.ini"));
        if (c.services && !c.service_holds) {
            EXPECT_EQ(service_state(manager.get(), L"FrameServer"), static_cast<DWORD>(SERVICE_RUNNING));
        }
    }
}

}  // namespace
