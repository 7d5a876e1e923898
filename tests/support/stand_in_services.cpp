#include "support/stand_in_services.h"

#include "base/owners.h"
#include "support/test_support.h"

bool install_stand_in_service(SC_HANDLE manager, const std::wstring& name, const wchar_t* mode, DWORD delay_ms,
                              const std::wstring& events, bool start, const std::wstring& held)
{
    std::wstring binary = L"\"" + built_program(L"test_service.exe") + L"\" " + name + L" " + mode + L" " +
                          std::to_wstring(delay_ms) + L" \"" + events + L"\"";
    if (!held.empty()) binary += L" \"" + held + L"\"";
    unique_service service(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                          binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        ADD_FAILURE() << "CreateServiceW " << to_utf8(name) << " (" << GetLastError() << ")";
        return false;
    }
    if (!start) return true;
    if (!StartServiceW(service.get(), 0, nullptr)) {
        ADD_FAILURE() << "StartServiceW " << to_utf8(name) << " (" << GetLastError() << ")";
        return false;
    }
    for (int i = 0; i < 100 && service_state(manager, name) != SERVICE_RUNNING; ++i) Sleep(50);
    if (service_state(manager, name) != SERVICE_RUNNING) {
        ADD_FAILURE() << to_utf8(name) << " does not run";
        return false;
    }
    return true;
}

SERVICE_STATUS_PROCESS service_status(SC_HANDLE manager, const std::wstring& name)
{
    SERVICE_STATUS_PROCESS status = {};
    unique_service service(OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    if (service) {
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed);
    }
    return status;
}

void remove_stand_in_service(SC_HANDLE manager, const std::wstring& name)
{
    unique_service service(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS_PROCESS status = service_status(manager, name);
    SERVICE_STATUS ignored = {};
    if (status.dwCurrentState != SERVICE_STOPPED && ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
        for (int i = 0; i < 60 && service_state(manager, name) != SERVICE_STOPPED; ++i) Sleep(50);
    }
    // Wine's service manager does not notice a service process that was ended;
    // deleting the service is still fine once the process is gone.
    if (service_state(manager, name) != SERVICE_STOPPED && status.dwProcessId != 0) {
        unique_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
        if (process) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
    EXPECT_TRUE(DeleteService(service.get())) << to_utf8(name) << " (" << GetLastError() << ")";
}

std::vector<std::string> service_events(const std::wstring& events)
{
    std::vector<std::string> lines;
    std::string text = read_bytes(events);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
