// What the tests share: temp folders, files, logs, and starting programs the way
// the program's callers do.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/start_process.h"

// Full path of a program built beside the running test program.
std::wstring built_program(const wchar_t* name);

std::wstring to_wide(const std::string& utf8);
std::string to_utf8(const std::wstring& wide);

bool path_exists(const std::wstring& path);
std::string read_bytes(const std::wstring& path);
bool write_bytes(const std::wstring& path, const std::string& bytes);
// Creates folders below base until the full path has exactly length characters
// (components of at most 150) and returns that path.
std::wstring make_folder_of_length(const std::wstring& base, size_t length);
// The names in folder (no "." and ".."), sorted.
std::vector<std::string> names_in(const std::wstring& folder);
// The prefix's Program Files and ProgramData folders (a gtest failure when Windows gives none).
std::wstring program_files();
std::wstring program_data();
// Deletes a test's own folder tree (clearing attributes); never follows links.
void remove_tree(const std::wstring& path);

struct run_request {
    std::wstring program;         // full path
    std::wstring arguments;       // text after the quoted program path
    bool elevated = true;         // false: the linked, non-elevated token
    std::vector<std::wstring> environment;  // "NAME=value" set, "NAME=" removed
    std::wstring working_folder;  // empty: the test's own
    DWORD timeout_ms = 60000;
};

struct run_result {
    bool started = false;
    DWORD start_error = 0;        // GetLastError when it did not start
    bool finished = false;
    DWORD exit_code = 0xFFFFFFFF;
};

run_result run_program(const run_request& request);

// Starts mirvo_machine.exe with arguments, as the installer or the app would.
run_result run_machine(const std::wstring& arguments, bool elevated = true,
                       const std::vector<std::wstring>& environment = {});

// The messages of a log file, in order. Every line must have the form
// "[hh:mm:ss] [elevated] message\r\n" (checked with gtest expectations).
std::vector<std::string> log_messages(const std::wstring& path);
std::vector<std::string> log_messages_in(const std::string& text);

// Owns a unique folder under the system temp folder, removed after the test.
class temp_folder_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring path(const std::wstring& name) const { return folder + L"\\" + name; }

    std::wstring folder;
};
