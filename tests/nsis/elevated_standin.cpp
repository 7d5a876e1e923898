// Plays mirvo_machine.exe's elevated part for the reference installer's failure
// tests, never shipped. The installer starts it as
//   mirvo_machine.exe machine-setup --install-dir DIR --nonce N --setup-pid P --wait-for-files
// and it waits (up to 60 s) for DIR\.elevated_ready, then does what
// "elevated_standin.txt" in DIR says, one "key=value" a line:
//   done=nonce|lower|other|none
//                           .elevated_done holds N, N in lower case, "OTHER",
//                           or is not written
//   exit=N                  its exit status
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <string>

namespace {

std::string read_text(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

void write_text(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string value_of(const std::string& text, const std::string& key)
{
    size_t at = text.find(key + "=");
    if (at == std::string::npos) return {};
    size_t end = text.find_first_of("\r\n", at);
    return text.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

}  // namespace

int wmain()
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring folder;
    std::string nonce;
    for (int i = 1; i + 1 < count; ++i) {
        if (std::wstring(arguments[i]) == L"--install-dir") folder = arguments[i + 1];
        if (std::wstring(arguments[i]) == L"--nonce") {
            for (const wchar_t* c = arguments[i + 1]; *c != L'\0'; ++c) nonce += static_cast<char>(*c);
        }
    }
    if (folder.empty()) return 90;
    for (int i = 0; i < 600 && GetFileAttributesW((folder + L"\\.elevated_ready").c_str()) == INVALID_FILE_ATTRIBUTES;
         ++i) {
        Sleep(100);
    }
    std::string behaviour = read_text(folder + L"\\elevated_standin.txt");
    std::string done = value_of(behaviour, "done");
    if (done == "nonce") write_text(folder + L"\\.elevated_done", nonce);
    if (done == "lower") {
        for (char& c : nonce) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        write_text(folder + L"\\.elevated_done", nonce);
    }
    if (done == "other") write_text(folder + L"\\.elevated_done", "OTHER");
    return std::atoi(value_of(behaviour, "exit").c_str());
}
