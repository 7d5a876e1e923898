#include "support/unix_links.h"

#include <windows.h>

#include <algorithm>

#include "support/test_support.h"

namespace {

// Runs a Unix tool on the build machine through Wine, which starts one like a
// Windows program, and waits until path exists (or no longer does).
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
    // The handle of a Unix process does not tell when it has ended: watch the path.
    for (int i = 0; i < 100 && path_exists(path) != exists_after; ++i) Sleep(50);
    ASSERT_EQ(path_exists(path), exists_after) << to_utf8(path);
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
    ASSERT_EQ(GetFileAttributesW(link.c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

void remove_unix_link(const std::wstring& link)
{
    run_unix_tool(L"/bin/rm", L"-f \"" + to_wide(unix_path(link)) + L"\"", link, false);
}
