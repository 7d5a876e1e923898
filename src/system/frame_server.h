// Stopping the Windows camera Frame Server, which holds loaded camera DLLs.
#pragma once

#include <windows.h>

// Sleep between two status queries of a stopping service.
constexpr DWORD STOP_POLL_INTERVAL_MS = 250;
// Longest wait for one service to reach SERVICE_STOPPED.
constexpr DWORD STOP_WAIT_LIMIT_MS = 15000;
// A service reached at this depth is stopped without looking at its own dependents.
constexpr int DEPENDENT_DEPTH_LIMIT = 4;

// Stops "FrameServerMonitor", then "FrameServer", each after its active
// dependents, and waits for each to stop. Logs "cannot reach the service
// manager (%lu)" or "stopping the Windows camera service so a loaded camera DLL
// is released" and then what stop_service_tree logs. Starts nothing again.
void stop_frame_server();

// Stops the service name (opened through manager, which needs only
// SC_MANAGER_CONNECT) after its active dependents down to depth
// DEPENDENT_DEPTH_LIMIT, then waits up to STOP_WAIT_LIMIT_MS for it to stop.
// An already stopped service gets no request and no wait. Logs "service %ls:
// not opened (%lu)" and "service %ls: stop refused (%lu)"; a time-out is silent.
void stop_service_tree(SC_HANDLE manager, const wchar_t* name, int depth);

// The one call that lists a service's dependents: EnumDependentServicesW, which
// only a test replaces (Wine's own reports no dependents at all).
using enum_dependents_call = BOOL(WINAPI*)(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                                           DWORD bytes, LPDWORD bytes_needed, LPDWORD count);
extern enum_dependents_call enum_dependent_services;
