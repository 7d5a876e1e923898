// A Windows camera service that accepts a stop and never stops, as a Frame
// Server that lets go of a camera DLL and then hangs in its shutdown.
// test_service.exe plays FrameServer (Wine has none), holding the old camera
// DLL the removal must delete until it is asked to stop. The removal waits for
// it once, up to the 15 s limit, tries again, and ends with status 0 and its
// closing lines; the service is left stopping.
#include <string>
#include <vector>

#include "base/owners.h"
#include "support/camera_state.h"
#include "support/quote_argument.h"
#include "support/stand_in_services.h"
#include "support/test_support.h"
#include "system/frame_server.h"

namespace {

class stuck_service : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << GetLastError();
        for (const wchar_t* name : {L"FrameServerMonitor", L"FrameServer"}) remove_stand_in_service(manager.get(), name);
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
    }
    void TearDown() override
    {
        if (manager) remove_stand_in_service(manager.get(), L"FrameServer");
        clean_camera_state();
        temp_folder_test::TearDown();
    }

    unique_service manager;
};

TEST_F(stuck_service, removal_waits_once_for_a_service_that_never_stops_and_ends_with_its_closing_line)
{
    const std::wstring legacy_camera = program_data() + L"\\mirvo\\vcam";
    const std::wstring held = legacy_camera + L"\\mirvo_vcam.dll";
    const std::wstring camera = program_files() + L"\\mirvo\\Camera";
    ASSERT_TRUE(CreateDirectoryW((program_data() + L"\\mirvo").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(legacy_camera.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(held, "an old camera"));
    ASSERT_TRUE(write_bytes(legacy_camera + L"\\settings.txt", "not held"));
    ASSERT_TRUE(CreateDirectoryW((program_files() + L"\\mirvo").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(camera.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(camera + L"\\mirvo_dshow64.dll", "a camera"));
    const std::wstring events = path(L"events.txt");
    ASSERT_TRUE(install_stand_in_service(manager.get(), L"FrameServer", L"never", 0, events, true, held));
    const std::wstring log = path(L"uninstall.log");

    DWORD began = GetTickCount();
    run_result r = run_machine(L"machine-remove --log " + ::quoted(log));
    DWORD elapsed = GetTickCount() - began;

    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_GE(elapsed, STOP_WAIT_LIMIT_MS - 500);
    EXPECT_LT(elapsed, STOP_WAIT_LIMIT_MS + 10000) << "waited more than once";
    EXPECT_EQ(log_messages(log),
              (std::vector<std::string>{"-------- MIRVO elevated removal --------",
                                        "stopping the Windows camera service so a loaded camera DLL is released",
                                        "service FrameServerMonitor: not opened (1060)",
                                        "MIRVO cameras unregistered and " + to_utf8(camera) + " removed",
                                        "firewall rules left by earlier installers removed (if there were any)",
                                        "VB-CABLE: kept (the uninstaller was told to keep it)", "uninstall done"}));
    EXPECT_EQ(service_events(events), std::vector<std::string>{"FrameServer stop requested"});
    EXPECT_EQ(service_state(manager.get(), L"FrameServer"), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(path_exists(camera));
    EXPECT_FALSE(path_exists(program_data() + L"\\mirvo"));
}

}  // namespace
