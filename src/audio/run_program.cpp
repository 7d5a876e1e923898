#include "audio/run_program.h"

#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"

update_attribute_call update_proc_thread_attribute = UpdateProcThreadAttribute;
create_process_call create_process = CreateProcessW;

namespace {

// Releases what InitializeProcThreadAttributeList built in a list.
class attribute_list_guard {
public:
    explicit attribute_list_guard(LPPROC_THREAD_ATTRIBUTE_LIST list) noexcept : list_(list) {}
    ~attribute_list_guard() { DeleteProcThreadAttributeList(list_); }
    attribute_list_guard(const attribute_list_guard&) = delete;
    attribute_list_guard& operator=(const attribute_list_guard&) = delete;

private:
    LPPROC_THREAD_ATTRIBUTE_LIST list_;
};

// Starts the program with SETUP_LOADER_POLICY. On failure *error is the code of
// the call that failed.
bool start_with_loader_policy(const wchar_t* image_path, wchar_t* command_line, const wchar_t* folder,
                              PROCESS_INFORMATION* process, DWORD* error)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // fails, giving the size needed
    unique_local storage(size != 0 ? LocalAlloc(LMEM_ZEROINIT, size) : nullptr);
    auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
    if (list == nullptr || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        *error = GetLastError();
        return false;
    }
    attribute_list_guard built(list);
    // Windows reads the value only at the start, so it lives until then.
    DWORD64 policy = SETUP_LOADER_POLICY;
    if (!update_proc_thread_attribute(list, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, &policy, sizeof(policy),
                                      nullptr, nullptr)) {
        *error = GetLastError();
        return false;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list;
    if (!create_process(image_path, command_line, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, folder, &startup.StartupInfo,
                        process)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

bool start_plain(const wchar_t* image_path, wchar_t* command_line, const wchar_t* folder,
                 PROCESS_INFORMATION* process, DWORD* error)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!create_process(image_path, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, folder,
                        &startup, process)) {
        *error = GetLastError();
        return false;
    }
    return true;
}

// An older Windows refuses the policy with one of these; any other failure is
// not about the policy, and a start without it would fail the same way.
bool policy_refused(DWORD error) { return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED; }

}  // namespace

int run_and_wait(const wchar_t* path, const wchar_t* image_path, const wchar_t* arguments, DWORD timeout_ms,
                 DWORD* exit_code)
{
    wchar_t command_line[COMMAND_LINE_CHARS];
    format_bounded(command_line, COMMAND_LINE_CHARS - 1, L"\"%ls\" %ls", path, arguments);
    command_line[COMMAND_LINE_CHARS - 1] = 0;

    // Only a backslash ends the folder: a path without one is passed unchanged.
    wchar_t folder[PATH_CHARS];
    format_bounded(folder, PATH_CHARS - 1, L"%ls", image_path);
    folder[PATH_CHARS - 1] = 0;
    parent_folder(folder);

    PROCESS_INFORMATION process = {};
    DWORD error = 0;
    if (!start_with_loader_policy(image_path, command_line, folder, &process, &error)) {
        if (!policy_refused(error)) {
            log_line(L"%ls could not be started (%lu)", path, error);
            return 0;
        }
        DWORD retry_error = 0;
        if (!start_plain(image_path, command_line, folder, &process, &retry_error)) {
            log_line(L"%ls could not be started (%lu)", path, retry_error);
            return 0;
        }
        log_line(L"%ls started without the DLL search hardening (%lu)", path, error);
    }
    // Declared in this order so that the thread handle is closed first.
    unique_handle process_handle(process.hProcess);
    unique_handle thread_handle(process.hThread);

    if (WaitForSingleObject(process_handle.get(), timeout_ms) != WAIT_OBJECT_0) {
        // Not terminated: a setup program cut off halfway could leave the driver
        // half installed.
        log_line(L"%ls did not finish within %lu s", path, timeout_ms / 1000);
        return 0;
    }
    DWORD code = 0;
    if (GetExitCodeProcess(process_handle.get(), &code)) *exit_code = code;
    return 1;
}
