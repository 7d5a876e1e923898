// A program that a test starts and watches while it runs (a stand-in holding
// files, or the program itself waiting for its marker).
#pragma once

#include <windows.h>

#include <string>

#include "base/owners.h"

// A program started and left running; ended (if still running) when this goes.
class running_program {
public:
    running_program(const std::wstring& program, const std::wstring& arguments);
    ~running_program();
    bool started() const { return static_cast<bool>(process_); }
    // True once it has ended; waits up to timeout_ms.
    bool ended(DWORD timeout_ms = 0);
    DWORD exit_code();
    DWORD id() const { return process_ ? GetProcessId(process_.get()) : 0; }
    // Ends it now (when it still runs) and waits until it has ended.
    void end();

private:
    unique_handle process_;
};
