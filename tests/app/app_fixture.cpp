#include "app/app_fixture.h"

void app_process_test::TearDown()
{
    for (unique_handle& process : started) {
        if (running(process.get())) {
            TerminateProcess(process.get(), 99);
            WaitForSingleObject(process.get(), 5000);
        }
    }
    started.clear();
    temp_folder_test::TearDown();
}

std::wstring app_process_test::place_standin(const std::wstring& relative_folder, const std::wstring& name)
{
    std::wstring target = folder;
    size_t start = 0;
    while (start <= relative_folder.size() && !relative_folder.empty()) {
        size_t end = relative_folder.find(L'\\', start);
        if (end == std::wstring::npos) end = relative_folder.size();
        target += L"\\" + relative_folder.substr(start, end - start);
        CreateDirectoryW(target.c_str(), nullptr);
        start = end + 1;
    }
    target += L"\\" + name;
    EXPECT_TRUE(CopyFileW(built_program(L"app_standin.exe").c_str(), target.c_str(), FALSE))
        << to_utf8(target) << " (" << GetLastError() << ")";
    return target;
}

HANDLE app_process_test::start(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!start_process(nullptr, program.c_str(), command_line.data(), 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << to_utf8(program) << " (" << GetLastError() << ")";
        return nullptr;
    }
    CloseHandle(process.hThread);
    started.emplace_back(process.hProcess);
    return process.hProcess;
}

namespace {

struct window_search {
    DWORD process_id;
    bool found;
};

BOOL CALLBACK find_process_window(HWND window, LPARAM parameter)
{
    window_search* search = reinterpret_cast<window_search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process_id) search->found = true;
    return !search->found;
}

}  // namespace

bool app_process_test::wait_for_window(HANDLE process)
{
    window_search search = {GetProcessId(process), false};
    for (int i = 0; i < 400 && !search.found; ++i) {
        EnumWindows(find_process_window, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(50);
    }
    return search.found;
}

bool app_process_test::running(HANDLE process)
{
    return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

DWORD app_process_test::exit_code_after(HANDLE process, DWORD timeout_ms)
{
    if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}
