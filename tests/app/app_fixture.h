// What the app-process tests share: stand-ins copied under the app's names,
// started without waiting and ended again after each test.
#pragma once

#include <string>
#include <vector>

#include "base/owners.h"
#include "support/quote_argument.h"
#include "support/test_support.h"


class app_process_test : public temp_folder_test {
protected:
    // Ends every stand-in the test started that still runs, then removes the folder.
    void TearDown() override;

    // Copies app_standin.exe to folder\relative_folder\name (folders made as needed).
    std::wstring place_standin(const std::wstring& relative_folder, const std::wstring& name);

    // Starts program with arguments and does not wait; returns its process handle
    // (owned by the fixture) or nullptr after a failed expectation.
    HANDLE start(const std::wstring& program, const std::wstring& arguments);

    // True once the process owns a top-level window (polled up to 20 s).
    static bool wait_for_window(HANDLE process);

    // True while the process runs.
    static bool running(HANDLE process);

    // The exit code of a process that has ended within timeout_ms, else STILL_ACTIVE.
    static DWORD exit_code_after(HANDLE process, DWORD timeout_ms);

    std::vector<unique_handle> started;
};
