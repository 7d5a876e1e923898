#include "system/frame_server.h"

#include "log/log.h"
#include "base/owners.h"

enum_dependents_call enum_dependent_services = EnumDependentServicesW;

namespace {

// Stops every active dependent (and its tree) before the service itself: Windows
// refuses to stop a service whose dependents still run. Best effort and silent:
// whatever fails here, the service itself is still asked to stop.
void stop_active_dependents(SC_HANDLE manager, SC_HANDLE service, int depth)
{
    DWORD bytes = 0;
    DWORD count = 0;
    enum_dependent_services(service, SERVICE_ACTIVE, nullptr, 0, &bytes, &count);
    if (bytes == 0) return;
    unique_local buffer(LocalAlloc(LPTR, bytes));
    if (!buffer) return;
    auto* dependents = static_cast<ENUM_SERVICE_STATUSW*>(buffer.get());
    count = 0;
    if (!enum_dependent_services(service, SERVICE_ACTIVE, dependents, bytes, &bytes, &count)) return;
    for (DWORD i = 0; i < count; ++i) {
        if (dependents[i].lpServiceName == nullptr) continue;
        stop_service_tree(manager, dependents[i].lpServiceName, depth + 1);
    }
}

// False when the status cannot be read or the service has stopped.
bool still_running(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof(status), &needed)) {
        return false;
    }
    return status.dwCurrentState != SERVICE_STOPPED;
}

}  // namespace

void stop_service_tree(SC_HANDLE manager, const wchar_t* name, int depth)
{
    unique_service service(
        OpenServiceW(manager, name, SERVICE_STOP | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_QUERY_STATUS));
    if (!service) {
        log_line(L"service %ls: not opened (%lu)", name, GetLastError());
        return;
    }
    if (depth < DEPENDENT_DEPTH_LIMIT) stop_active_dependents(manager, service.get(), depth);

    if (!still_running(service.get())) return;

    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) log_line(L"service %ls: stop refused (%lu)", name, error);
    }

    // Waited for even after a refused request: the service may be stopping anyway.
    for (DWORD waited = 0; waited < STOP_WAIT_LIMIT_MS; waited += STOP_POLL_INTERVAL_MS) {
        if (!still_running(service.get())) break;
        Sleep(STOP_POLL_INTERVAL_MS);
    }
}

void stop_frame_server()
{
    unique_service manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        log_line(L"cannot reach the service manager (%lu)", GetLastError());
        return;
    }
    log_line(L"stopping the Windows camera service so a loaded camera DLL is released");
    stop_service_tree(manager.get(), L"FrameServerMonitor", 0);
    stop_service_tree(manager.get(), L"FrameServer", 0);
}
