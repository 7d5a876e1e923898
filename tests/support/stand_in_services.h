// Services of the tests' Wine prefix played by test_service.exe (built in
// tests/system): the Windows camera services, which Wine lacks, and their
// dependents. Installing one changes the whole prefix: tests that do take the
// machine_state resource lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Installs test_service.exe as service name with mode ("stops", "refuses",
// "never"; see test_service.cpp), its stop delay and the events file it appends
// to; held, when not empty, is a file it holds open without delete sharing
// until it stops. Starts it and waits until it runs when start is set.
// Returns false (with a gtest failure) when it cannot.
bool install_stand_in_service(SC_HANDLE manager, const std::wstring& name, const wchar_t* mode, DWORD delay_ms,
                              const std::wstring& events, bool start = true, const std::wstring& held = L"");

// The service's status with its process id; all zero when it cannot be read.
SERVICE_STATUS_PROCESS service_status(SC_HANDLE manager, const std::wstring& name);
inline DWORD service_state(SC_HANDLE manager, const std::wstring& name)
{
    return service_status(manager, name).dwCurrentState;
}

// Stops the service however it behaves (ending its process if it must) and
// deletes it; a missing service is fine.
void remove_stand_in_service(SC_HANDLE manager, const std::wstring& name);

// The lines the stand-in services appended to events, in order.
std::vector<std::string> service_events(const std::wstring& events);
