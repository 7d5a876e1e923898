// A stand-in for a Windows service in the tests' Wine prefix, never shipped.
// Installed with the binary path
//   "test_service.exe" NAME MODE DELAY_MS EVENTS_FILE [HELD_FILE]
// MODE "stops": accepts a stop, reports STOP_PENDING for DELAY_MS, then stops.
// MODE "refuses": does not accept a stop and runs until it is ended.
// MODE "never": accepts a stop, reports STOP_PENDING and never stops.
// Each stop request and the stop itself are appended to EVENTS_FILE as lines
// "NAME stop requested" and "NAME stopped". HELD_FILE, when given, is held open
// without delete sharing from start until the stop, as the Frame Server holds a
// loaded camera DLL.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring service_name;
std::wstring mode;
DWORD delay_ms = 0;
std::wstring events_file;
std::wstring held_file;

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;

void record(const wchar_t* what)
{
    std::wstring line = service_name + L" " + what + L"\n";
    char utf8[512];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
    HANDLE file = CreateFileW(events_file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (bytes > 1) WriteFile(file, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
    CloseHandle(file);
}

void report(DWORD state, DWORD accepted)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = 1000;
    SetServiceStatus(status_handle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        if (mode == L"refuses") return ERROR_CALL_NOT_IMPLEMENTED;
        record(L"stop requested");
        SetEvent(stop_requested);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, wchar_t**)
{
    status_handle = RegisterServiceCtrlHandlerExW(service_name.c_str(), handler, nullptr);
    if (status_handle == nullptr) return;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (!held_file.empty()) {
        held = CreateFileW(held_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    report(SERVICE_RUNNING, mode == L"refuses" ? 0 : SERVICE_ACCEPT_STOP);
    WaitForSingleObject(stop_requested, INFINITE);
    report(SERVICE_STOP_PENDING, 0);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    if (mode == L"never") Sleep(INFINITE);
    Sleep(delay_ms);
    record(L"stopped");
    report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) return 2;
    service_name = argv[1];
    mode = argv[2];
    delay_ms = wcstoul(argv[3], nullptr, 10);
    events_file = argv[4];
    if (argc > 5) held_file = argv[5];
    stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{service_name.data(), service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
