// The Frame Server stop against real services in the Wine prefix, played by
// test_service.exe under the names FrameServerMonitor and FrameServer. Wine's
// EnumDependentServicesW reports no dependents, so the one seam for that call
// answers from the dependents each test declares, for the services that are
// actually running (found through the process id behind the service handle).
#include <map>
#include <string>
#include <vector>

#include "fs/placement.h"
#include "log/log.h"
#include "base/owners.h"
#include "support/stand_in_services.h"
#include "support/test_support.h"
#include "system/frame_server.h"

namespace {

struct installed_service {
    std::wstring name;
    std::vector<std::wstring> dependents;
};

class frame_server_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << GetLastError();
        for (const wchar_t* name : {L"FrameServerMonitor", L"FrameServer", L"MirvoTestDependent1",
                                    L"MirvoTestDependent2", L"MirvoTestDependent3", L"MirvoTestDependent4",
                                    L"MirvoTestDependent5", L"MirvoTestIdle"}) {
            remove_service(name);  // a leftover of an interrupted run
        }
        events = path(L"events.txt");
        wcscpy_s(log_path, PATH_CHARS, path(L"machine.log").c_str());
        current = this;
        enum_dependent_services = declared_dependents;
    }

    void TearDown() override
    {
        enum_dependent_services = EnumDependentServicesW;
        current = nullptr;
        log_path[0] = 0;
        for (const installed_service& s : services) remove_service(s.name);
        temp_folder_test::TearDown();
    }

    // Installs (and unless told otherwise starts) one stand-in service.
    void install(const std::wstring& name, const wchar_t* mode, DWORD delay_ms = 0,
                 std::vector<std::wstring> dependents = {}, bool start = true, const std::wstring& held = L"")
    {
        services.push_back({name, std::move(dependents)});
        ASSERT_TRUE(install_stand_in_service(manager.get(), name, mode, delay_ms, events, start, held));
    }

    DWORD state(const std::wstring& name) { return service_state(manager.get(), name); }
    SERVICE_STATUS_PROCESS status_of(const std::wstring& name) { return service_status(manager.get(), name); }
    void remove_service(const std::wstring& name) { remove_stand_in_service(manager.get(), name); }
    std::vector<std::string> event_lines() { return service_events(events); }

    std::vector<std::string> messages() { return log_messages(log_path); }

    // Stands in for EnumDependentServicesW: the declared dependents of the
    // service behind handle, filtered by their state now.
    static BOOL WINAPI declared_dependents(SC_HANDLE handle, DWORD wanted_state, LPENUM_SERVICE_STATUSW out,
                                           DWORD bytes, LPDWORD bytes_needed, LPDWORD count)
    {
        *count = 0;
        *bytes_needed = 0;
        SERVICE_STATUS_PROCESS own = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&own), sizeof(own),
                                  &needed)) {
            return FALSE;
        }
        const installed_service* parent = nullptr;
        for (const installed_service& s : current->services) {
            if (own.dwProcessId != 0 && current->status_of(s.name).dwProcessId == own.dwProcessId) parent = &s;
        }
        if (parent == nullptr) return TRUE;
        if (out == nullptr) {  // the first of the two calls for one service
            current->enumerated.push_back(to_utf8(parent->name));
            current->states_asked.push_back(wanted_state);
        }

        std::vector<std::pair<std::wstring, SERVICE_STATUS>> found;
        for (const std::wstring& name : parent->dependents) {
            SERVICE_STATUS_PROCESS s = current->status_of(name);
            bool active = s.dwCurrentState != SERVICE_STOPPED;
            if ((active && (wanted_state & SERVICE_ACTIVE)) || (!active && (wanted_state & SERVICE_INACTIVE))) {
                SERVICE_STATUS plain = {};
                plain.dwServiceType = s.dwServiceType;
                plain.dwCurrentState = s.dwCurrentState;
                found.push_back({name, plain});
            }
        }
        DWORD size = static_cast<DWORD>(found.size() * sizeof(ENUM_SERVICE_STATUSW));
        for (const auto& f : found) size += static_cast<DWORD>(2 * (f.first.size() + 1) * sizeof(wchar_t));
        *bytes_needed = size;
        if (found.empty()) return TRUE;
        if (bytes < size || out == nullptr) {
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        auto* text = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(out) +
                                                found.size() * sizeof(ENUM_SERVICE_STATUSW));
        for (size_t i = 0; i < found.size(); ++i) {
            out[i].ServiceStatus = found[i].second;
            for (int copy = 0; copy < 2; ++copy) {
                wcscpy_s(text, found[i].first.size() + 1, found[i].first.c_str());
                (copy == 0 ? out[i].lpServiceName : out[i].lpDisplayName) = text;
                text += found[i].first.size() + 1;
            }
        }
        *count = static_cast<DWORD>(found.size());
        return TRUE;
    }

    static frame_server_test* current;
    unique_service manager;
    std::wstring events;
    std::vector<installed_service> services;
    std::vector<std::string> enumerated;
    std::vector<DWORD> states_asked;
};

frame_server_test* frame_server_test::current = nullptr;

const char STOPPING[] = "stopping the Windows camera service so a loaded camera DLL is released";

TEST_F(frame_server_test, stops_each_tree_of_active_dependents_first_down_to_depth_four)
{
    // FrameServerMonitor <- 1 <- 2 <- 3 <- 4 <- 5, and an idle dependent that is not running.
    install(L"MirvoTestDependent5", L"stops");
    install(L"MirvoTestDependent4", L"stops", 600, {L"MirvoTestDependent5"});
    install(L"MirvoTestDependent3", L"stops", 0, {L"MirvoTestDependent4"});
    install(L"MirvoTestDependent2", L"stops", 0, {L"MirvoTestDependent3"});
    install(L"MirvoTestDependent1", L"stops", 0, {L"MirvoTestDependent2"});
    install(L"MirvoTestIdle", L"stops", 0, {}, false);
    install(L"FrameServerMonitor", L"stops", 0, {L"MirvoTestIdle", L"MirvoTestDependent1"});
    install(L"FrameServer", L"stops", 300);

    stop_frame_server();

    EXPECT_EQ(messages(), std::vector<std::string>{STOPPING});
    // Each service is asked only after everything below it has stopped.
    EXPECT_EQ(event_lines(), (std::vector<std::string>{
                                 "MirvoTestDependent4 stop requested", "MirvoTestDependent4 stopped",
                                 "MirvoTestDependent3 stop requested", "MirvoTestDependent3 stopped",
                                 "MirvoTestDependent2 stop requested", "MirvoTestDependent2 stopped",
                                 "MirvoTestDependent1 stop requested", "MirvoTestDependent1 stopped",
                                 "FrameServerMonitor stop requested", "FrameServerMonitor stopped",
                                 "FrameServer stop requested", "FrameServer stopped"}));
    // Depth 4 is stopped without asking for its own dependents.
    EXPECT_EQ(enumerated, (std::vector<std::string>{"FrameServerMonitor", "MirvoTestDependent1",
                                                    "MirvoTestDependent2", "MirvoTestDependent3", "FrameServer"}));
    for (DWORD asked : states_asked) EXPECT_EQ(asked, static_cast<DWORD>(SERVICE_ACTIVE));
    EXPECT_EQ(state(L"MirvoTestDependent5"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(state(L"FrameServerMonitor"), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(state(L"FrameServer"), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(frame_server_test, a_missing_service_is_named_and_a_stopped_one_left_alone)
{
    install(L"FrameServer", L"stops", 0, {}, false);

    stop_frame_server();

    EXPECT_EQ(messages(), (std::vector<std::string>{STOPPING, "service FrameServerMonitor: not opened (1060)"}));
    EXPECT_TRUE(event_lines().empty());
    EXPECT_EQ(state(L"FrameServer"), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(frame_server_test, a_refused_stop_is_logged_and_waited_for_fifteen_seconds_in_silence)
{
    install(L"FrameServerMonitor", L"refuses");
    install(L"FrameServer", L"stops");

    DWORD start = GetTickCount();
    stop_frame_server();
    DWORD elapsed = GetTickCount() - start;

    // Wine refuses a control the service does not accept with 1052, as Windows does.
    EXPECT_EQ(messages(), (std::vector<std::string>{STOPPING, "service FrameServerMonitor: stop refused (1052)"}));
    EXPECT_GE(elapsed, STOP_WAIT_LIMIT_MS - 500);
    EXPECT_LT(elapsed, STOP_WAIT_LIMIT_MS + 3000);
    EXPECT_EQ(state(L"FrameServerMonitor"), static_cast<DWORD>(SERVICE_RUNNING));
    // The next service still gets its turn after the time-out.
    EXPECT_EQ(event_lines(), (std::vector<std::string>{"FrameServer stop requested", "FrameServer stopped"}));
}

TEST_F(frame_server_test, placement_stops_the_frame_server_holding_the_old_dll_and_then_renames)
{
    std::wstring source = path(L"source.dll");
    std::wstring camera = path(L"Camera");
    std::wstring target = camera + L"\\mirvo_vcam.dll";
    ASSERT_TRUE(CreateDirectoryW(camera.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(source, "new camera"));
    ASSERT_TRUE(write_bytes(target, "old camera"));
    install(L"FrameServer", L"stops", 0, {}, true, target);

    EXPECT_EQ(place_file(source.c_str(), camera.c_str(), L"mirvo_vcam.dll", 1, 0), 1);

    EXPECT_EQ(messages(), (std::vector<std::string>{"renaming over " + to_utf8(target) + " refused (5)", STOPPING,
                                                    "service FrameServerMonitor: not opened (1060)"}));
    EXPECT_EQ(read_bytes(target), "new camera");
    EXPECT_FALSE(path_exists(target + L".new"));
    EXPECT_EQ(state(L"FrameServer"), static_cast<DWORD>(SERVICE_STOPPED));
}

}  // namespace
