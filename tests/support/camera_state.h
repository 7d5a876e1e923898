// The machine's camera state as the camera flows leave it: the test payloads
// and program copies signed at test time, the class keys of both views, and
// removing every trace of the camera between cases.
#pragma once

#include <windows.h>

#include <string>

// The test payloads and program copies signed at test time (fixture camera_payloads).
std::wstring camera_payload(const std::wstring& relative);
// The copy of mirvo_machine.exe signed by the payloads' signer.
std::wstring signed_machine();

// A string value (null: the default one) of a class key or of its subkey in
// view; empty when missing or not REG_SZ.
std::wstring class_value(const wchar_t* class_id, const wchar_t* subkey, const wchar_t* value, DWORD view);
bool class_exists(const wchar_t* class_id, DWORD view);
// Deletes the class key with all below it in view (nothing when missing).
void delete_class(const wchar_t* class_id, DWORD view);

// Removes every trace of the camera from the machine: Program Files\mirvo,
// ProgramData\mirvo and the four class keys in both views. A gtest failure
// when Program Files\mirvo stays (a file there is held by some process).
void clean_camera_state();
// Both virtual-camera classes name path in the 64-bit view (letter case aside).
bool vcam_keys_name(const std::wstring& path);
// The class keys of the DirectShow camera name path64 (64-bit view) and path32 (32-bit view).
bool dshow_keys_name(const std::wstring& path64, const std::wstring& path32);
