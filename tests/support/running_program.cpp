#include "support/running_program.h"

#include "support/test_support.h"

running_program::running_program(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        ADD_FAILURE() << to_utf8(program) << " did not start (" << GetLastError() << ")";
        return;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
}

running_program::~running_program() { end(); }

void running_program::end()
{
    if (!process_ || ended()) return;
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
}

bool running_program::ended(DWORD timeout_ms)
{
    return process_ && WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0;
}

DWORD running_program::exit_code()
{
    DWORD code = 0xFFFFFFFF;
    if (process_) GetExitCodeProcess(process_.get(), &code);
    return code;
}
