// COM class keys under HKEY_LOCAL_MACHINE "SOFTWARE\Classes\CLSID", in an
// explicit registry view, and the self-registration entry points of a DLL.
#pragma once

#include <windows.h>

// The key every class key lies under, in both registry views.
constexpr const wchar_t* CLSID_ROOT = L"SOFTWARE\\Classes\\CLSID";

// HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND): the DLL lacks the asked export.
constexpr HRESULT EXPORT_MISSING_RESULT = static_cast<HRESULT>(0x8007007F);

// "32-bit" for KEY_WOW64_32KEY, "64-bit" for anything else: the view as log text names it.
const wchar_t* view_name(DWORD view);

// Writes the class key class_id (default value friendly_name) and its
// "InprocServer32" subkey (default value dll_path, "ThreadingModel" "Both") in
// view (KEY_WOW64_64KEY or KEY_WOW64_32KEY). Other values and subkeys stay.
// Returns 1 when all three values were written. Logs "class %ls: cannot create
// (%ld)" or "class %ls: not written (%ld)"; what was written before a failure stays.
int write_com_class(const wchar_t* class_id, const wchar_t* friendly_name, const wchar_t* dll_path, DWORD view);

// Deletes the class key class_id with everything under it in view. A missing
// class, or a CLSID root that cannot be opened with full access, is passed over
// in silence; any other failure logs "class %ls (%ls view): not deleted (%ld)".
void delete_com_class(const wchar_t* class_id, DWORD view);

// Loads the DLL at dll_path (a fully qualified path) and calls its export
// (no arguments, HRESULT result) in this process. Returns that HRESULT, the
// loader's error as an HRESULT when the DLL cannot be loaded, or
// EXPORT_MISSING_RESULT. The DLL's own dependencies are looked for in its folder
// and in System32 only. Logs nothing.
HRESULT call_dll_export(const wchar_t* dll_path, const char* export_name);

// call_dll_export in two steps, for callers that call several exports of one
// load: load_server_dll loads it the same way and returns the module (the
// caller frees it) or null with the loader's error as an HRESULT in
// load_result; call_loaded_export calls one export of it (EXPORT_MISSING_RESULT
// when there is none). Log nothing.
HMODULE load_server_dll(const wchar_t* dll_path, HRESULT* load_result);
HRESULT call_loaded_export(HMODULE dll, const char* export_name);

// 1 when the 64-bit view's "InprocServer32" default value of class_id equals
// dll_path, A to Z compared without case; 0 when it differs, is missing, does
// not fit 1022 characters or cannot be read. Logs nothing.
int com_class_points_at(const wchar_t* class_id, const wchar_t* dll_path);
