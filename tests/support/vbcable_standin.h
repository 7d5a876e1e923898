// The tests' VB-CABLE setup stand-in (standins/vbcable_setup_standin.cpp):
// placing signed copies of it with their behaviour, reading what a run of it
// recorded, and the fixture of the tests that run it against the prefix's
// VB-CABLE folder.
#pragma once

#include <windows.h>

#include <string>

#include "support/test_support.h"

// A copy signed at test time (tests/audio/sign_setup_standin.sh): "setup_signed.exe",
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

// A test of its own temp folder that runs the stand-in against the prefix's
// VB-CABLE folder (Program Files\VB): refuses to start when another left one
// there, and removes it afterwards.
class vbcable_folder_test : public temp_folder_test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring vb_folder;
    std::wstring presence;  // the file whose presence means VB-CABLE is installed
};
