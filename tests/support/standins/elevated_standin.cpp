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

#include "standin_files.h"

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
