#include "support/unix_links.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

std::string unix_path(const std::wstring& path)
{
    using unix_name_call = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return {};
    size_t last = path.find_last_of(L'\\');
    if (last == std::wstring::npos) return {};
    char* parent = unix_name(path.substr(0, last).c_str());
    if (parent == nullptr) return {};
    std::string result = std::string(parent) + "/" + to_utf8(path.substr(last + 1));
    HeapFree(GetProcessHeap(), 0, parent);
    return result;
}

namespace {

// A Unix shell word: the text in single quotes, each quote in it spelled '\''.
std::string shell_word(const std::string& text)
{
    std::string word = "'";
    for (char c : text) {
        if (c == '\'') {
            word += "'\\''";
        } else {
            word += c;
        }
    }
    return word + "'";
}

// Runs a shell command on the build machine through Wine, which starts a Unix
// program like a Windows one. The handle of a Unix process does not tell when
// it has ended, so the command touches a marker file last and the wait is for
// that file.
void run_unix_command(const std::string& command)
{
    static int runs = 0;
    wchar_t temp[MAX_PATH + 1];
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
    std::wstring marker = std::wstring(temp) + L"mirvo-unix-done-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(++runs);
    std::string unix_marker = unix_path(marker);
    ASSERT_FALSE(unix_marker.empty()) << "not running under Wine";
    std::string script = command + " && touch " + shell_word(unix_marker);
    // The Windows command line is split into the Unix argv by Windows rules:
    // the script is one quoted argument, with its own quotes doubled up as \".
    std::wstring quoted;
    for (wchar_t c : to_wide(script)) {
        if (c == L'"') quoted += L'\\';
        quoted += c;
    }
    std::wstring command_line = L"/bin/sh -c \"" + quoted + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\sh", command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 200 && !path_exists(marker); ++i) Sleep(25);
    ASSERT_TRUE(path_exists(marker)) << script;
    DeleteFileW(marker.c_str());
}

}  // namespace

void make_unix_link(const std::wstring& target, const std::wstring& link)
{
    std::string unix_target = unix_path(target);
    std::string unix_link = unix_path(link);
    ASSERT_FALSE(unix_target.empty() || unix_link.empty()) << "not running under Wine";
    ASSERT_NO_FATAL_FAILURE(run_unix_command("ln -s " + shell_word(unix_target) + " " + shell_word(unix_link)));
}

void remove_unix_link(const std::wstring& link)
{
    std::string unix_link = unix_path(link);
    ASSERT_FALSE(unix_link.empty()) << "not running under Wine";
    ASSERT_NO_FATAL_FAILURE(run_unix_command("rm -f " + shell_word(unix_link)));
}

void unix_replace(const std::wstring& file, const std::wstring& moved_to, const std::wstring& replacement)
{
    std::string unix_file = unix_path(file);
    std::string unix_moved = unix_path(moved_to);
    std::string unix_replacement = unix_path(replacement);
    ASSERT_FALSE(unix_file.empty() || unix_moved.empty() || unix_replacement.empty()) << "not running under Wine";
    ASSERT_NO_FATAL_FAILURE(run_unix_command("mv " + shell_word(unix_file) + " " + shell_word(unix_moved) + " && cp " +
                                             shell_word(unix_replacement) + " " + shell_word(unix_file)));
}
