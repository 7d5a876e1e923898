#include "support/test_support.h"

#include <algorithm>
#include <cwctype>
#include <regex>

#include "base/paths.h"
#include "base/owners.h"

std::wstring built_program(const wchar_t* name)
{
    wchar_t self[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring folder(self, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + name;
}

std::wstring to_wide(const std::string& utf8)
{
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string to_utf8(const std::wstring& wide)
{
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string utf8(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                        nullptr, nullptr);
    return utf8;
}

bool path_exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_bytes(const std::wstring& path)
{
    unique_handle file(CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

bool write_bytes(const std::wstring& path, const std::string& bytes)
{
    unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring make_folder_of_length(const std::wstring& base, size_t length)
{
    std::wstring path = base;
    while (path.size() < length) {
        size_t left = length - path.size() - 1;  // after the backslash
        size_t part = left > 200 ? 150 : left;
        path += L"\\" + std::wstring(part, L'd');
        CreateDirectoryW(path.c_str(), nullptr);
    }
    EXPECT_EQ(path.size(), length);
    EXPECT_TRUE(path_exists(path)) << to_utf8(path);
    return path;
}

std::vector<std::string> names_in(const std::wstring& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(to_utf8(name));
    } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::wstring known_folder(REFKNOWNFOLDERID id)
{
    wchar_t folder[PATH_CHARS] = {};
    EXPECT_TRUE(known_folder_path(id, folder));
    return folder;
}

}  // namespace

std::wstring program_files() { return known_folder(FOLDERID_ProgramFiles); }
std::wstring program_data() { return known_folder(FOLDERID_ProgramData); }

void remove_tree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            remove_tree(path + L"\\" + name);
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryW(path.c_str());
}

namespace {

// An environment block: the test's own, with the request's changes applied.
std::wstring environment_block(const std::vector<std::wstring>& changes)
{
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != 0; p += wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(strings);

    auto name_of = [](const std::wstring& entry) {
        // Entries like "=C:=C:\x" start with '='; their name runs to the next one.
        size_t equals = entry.find(L'=', 1);
        std::wstring name = entry.substr(0, equals);
        std::transform(name.begin(), name.end(), name.begin(), towupper);
        return name;
    };
    for (const std::wstring& change : changes) {
        std::wstring name = name_of(change);
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::wstring& e) { return name_of(e) == name; }),
                      entries.end());
        if (change.size() > change.find(L'=') + 1) entries.push_back(change);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// The non-elevated half of the split token the test runs with, as a primary token.
bool non_elevated_token(unique_handle& primary)
{
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) return false;
    unique_handle linked_token(linked.LinkedToken);
    return DuplicateTokenEx(linked_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                            TokenPrimary, primary.put()) != 0;
}

}  // namespace

run_result run_program(const run_request& request)
{
    run_result result;
    std::wstring command_line = L"\"" + request.program + L"\" " + request.arguments;
    std::wstring environment = environment_block(request.environment);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const wchar_t* folder = request.working_folder.empty() ? nullptr : request.working_folder.c_str();
    BOOL started;
    if (request.elevated) {
        started = CreateProcessW(request.program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                 CREATE_UNICODE_ENVIRONMENT, environment.data(), folder, &startup,
                                 &process);
    } else {
        unique_handle token;
        if (!non_elevated_token(token)) {
            ADD_FAILURE() << "no linked non-elevated token (" << GetLastError() << ")";
            return result;
        }
        started = CreateProcessAsUserW(token.get(), request.program.c_str(), command_line.data(), nullptr,
                                       nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                       folder, &startup, &process);
    }
    if (!started) {
        result.start_error = GetLastError();
        return result;
    }
    result.started = true;
    unique_handle thread(process.hThread);
    unique_handle handle(process.hProcess);
    if (WaitForSingleObject(handle.get(), request.timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(handle.get(), 99);
        WaitForSingleObject(handle.get(), 5000);
        return result;
    }
    result.finished = true;
    GetExitCodeProcess(handle.get(), &result.exit_code);
    return result;
}

run_result run_machine(const std::wstring& arguments, bool elevated,
                       const std::vector<std::wstring>& environment)
{
    run_request request;
    request.program = built_program(L"mirvo_machine.exe");
    request.arguments = arguments;
    request.elevated = elevated;
    request.environment = environment;
    return run_program(request);
}

std::vector<std::string> log_messages(const std::wstring& path)
{
    return log_messages_in(read_bytes(path));
}

std::vector<std::string> log_messages_in(const std::string& text)
{
    std::vector<std::string> messages;
    static const std::regex line_form(R"(\[([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\] \[elevated\] ([^\r\n]*))");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "log line without CR LF at byte " << start;
        if (end == std::string::npos) break;
        std::string line = text.substr(start, end - start);
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, line_form)) << "malformed log line: " << line;
        messages.push_back(match.size() > 2 ? match[2].str() : line);
        start = end + 2;
    }
    return messages;
}

void temp_folder_test::SetUp()
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::wstring base = std::wstring(temp) + L"mirvo-test-" + to_wide(info->test_suite_name()) + L"-" +
                        to_wide(info->name()) + L"-" + std::to_wstring(GetCurrentProcessId());
    std::replace(base.begin(), base.end(), L'/', L'_');
    folder = base;
    remove_tree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << to_utf8(folder);
}

void temp_folder_test::TearDown()
{
    remove_tree(folder);
}
