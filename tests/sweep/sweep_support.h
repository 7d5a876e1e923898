// What the fault sweep's test programs share: the machine's camera state as
// the program leaves it, and a run of the program that the test watches while
// it runs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/owners.h"
#include "support/test_support.h"

// The test payloads and program copies signed at test time (fixture camera_payloads).
std::wstring camera_payload(const std::wstring& relative);
// The copy of mirvo_machine.exe signed by the payloads' signer.
std::wstring signed_machine();

// Removes every trace of the camera from the machine: Program Files\mirvo,
// ProgramData\mirvo and the four class keys in both views.
void clean_camera_state();
// Both virtual-camera classes name path in the 64-bit view.
bool vcam_keys_name(const std::wstring& path);
// The class keys of the DirectShow camera name path64 (64-bit view) and path32 (32-bit view).
bool dshow_keys_name(const std::wstring& path64, const std::wstring& path32);

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
