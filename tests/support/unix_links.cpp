#include "support/unix_links.h"

#include <windows.h>

#include <algorithm>

#include "support/test_support.h"

namespace {

// True when a directory entry of that name exists, link or not (a dangling
// link has no attributes to read by path, so the parent's listing is asked).
bool entry_exists(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return true;
}

// Runs a Unix tool through Wine, which starts one like a Windows program, and
// waits until the entry at path exists (or no longer does): the handle of a
// Unix process does not tell when it has ended.
void run_unix_tool(const wchar_t* tool, const std::wstring& arguments, const std::wstring& path, bool exists_after)
{
    std::wstring command = std::wstring(tool) + L" " + arguments;
    std::wstring program = L"Z:" + std::wstring(tool);
    std::replace(program.begin(), program.end(), L'/', L'\\');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int i = 0; i < 100 && entry_exists(path) != exists_after; ++i) Sleep(50);
    ASSERT_EQ(entry_exists(path), exists_after) << to_utf8(path);
}

}  // namespace

std::string unix_path(const std::wstring& path)
{
    using unix_name_call = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return {};
    size_t last = path.find_last_of(L'\\');
    char* parent = unix_name(path.substr(0, last).c_str());
    if (parent == nullptr) return {};
    std::string result = std::string(parent) + "/" + to_utf8(path.substr(last + 1));
    HeapFree(GetProcessHeap(), 0, parent);
    return result;
}

void make_unix_link(const std::wstring& target, const std::wstring& link)
{
    std::string unix_target = unix_path(target);
    ASSERT_FALSE(unix_target.empty()) << "not running under Wine";
    run_unix_tool(L"/bin/ln", L"-s \"" + to_wide(unix_target) + L"\" \"" + to_wide(unix_path(link)) + L"\"", link,
                  true);
}

void remove_unix_link(const std::wstring& link)
{
    run_unix_tool(L"/bin/rm", L"-f \"" + to_wide(unix_path(link)) + L"\"", link, false);
}
