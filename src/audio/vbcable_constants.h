// What the system knows of VB-Audio's VB-CABLE setup program and the driver it
// installs; the program itself comes from VB-Audio, not from this build.
#pragma once

#include <windows.h>

// The setup program as Setup stages it, relative to the install folder.
constexpr const wchar_t* VBCABLE_PAYLOAD_PATH = L"audio-driver\\VBCABLE_Setup_x64.exe";

// The file whose presence under Program Files (FOLDERID_ProgramFiles) means that
// VB-CABLE is installed; the setup program's exit code decides nothing.
constexpr const wchar_t* VBCABLE_PRESENCE_PATH = L"VB\\CABLE\\VBCABLE_ControlPanel.exe";

// Arguments after the quoted program path: install, and remove, both silent.
constexpr const wchar_t* VBCABLE_INSTALL_ARGUMENTS = L"-i -h";
constexpr const wchar_t* VBCABLE_REMOVE_ARGUMENTS = L"-u -h";

// Longest wait for one run of the setup program; it is left running after that.
constexpr DWORD VBCABLE_RUN_TIMEOUT_MS = 300000;
