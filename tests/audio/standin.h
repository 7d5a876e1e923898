// The tests' VB-CABLE setup stand-in (setup_standin.cpp): placing signed copies
// of it with their behaviour, and reading what a run of it recorded.
#pragma once

#include <windows.h>

#include <string>

// A copy signed at test time (sign_setup_standin.sh): "setup_signed.exe",
// "setup_another_signer.exe", "setup_tampered.exe" or "setup_unsigned.exe".
std::wstring signed_standin(const wchar_t* name);

// Copies the stand-in name to path and writes behaviour (its "key=value" lines)
// beside it; clears an earlier record there. False when anything fails.
bool place_standin(const wchar_t* name, const std::wstring& path, const std::string& behaviour);

// What a run wrote beside its image, in the folder of that image.
struct standin_record {
    bool found = false;
    std::string command_line;
    std::string folder;  // its working folder
    std::string image;   // its own image path
    std::string rename;  // "done", "refused N" or "not back N"
};
standin_record read_standin_record(const std::wstring& image_folder);

// The command line a run started as "\"path\" arguments" records.
std::string quoted_command_line(const std::wstring& path, const char* arguments);

// True once a run in that folder has done all its behaviour file asks.
bool standin_finished(const std::wstring& image_folder);
