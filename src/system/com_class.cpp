#include "system/com_class.h"

#include <cwchar>

#include "base/ascii_case.h"
#include "base/paths.h"
#include "log/log.h"
#include "base/owners.h"

namespace {

// A REG_SZ value's size counts its terminator.
LSTATUS set_string_value(HKEY key, const wchar_t* name, const wchar_t* text)
{
    DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// key_path = CLSID root \ class id; fails when it does not fit a path buffer.
int class_key_path(wchar_t* key_path, const wchar_t* class_id)
{
    int length = format_bounded(key_path, PATH_CHARS - 1, L"%ls\\%ls", CLSID_ROOT, class_id);
    key_path[PATH_CHARS - 1] = 0;
    return length >= 0;
}

int server_key_path(wchar_t* key_path, const wchar_t* class_id)
{
    int length = format_bounded(key_path, PATH_CHARS - 1, L"%ls\\%ls\\InprocServer32", CLSID_ROOT, class_id);
    key_path[PATH_CHARS - 1] = 0;
    return length >= 0;
}

// Steps 2 to 5 of a class write: the first failing status, or ERROR_SUCCESS.
LSTATUS write_class_values(HKEY class_key, const wchar_t* friendly_name, const wchar_t* dll_path, DWORD view)
{
    LSTATUS status = set_string_value(class_key, nullptr, friendly_name);
    if (status != ERROR_SUCCESS) return status;
    unique_key server;
    status = RegCreateKeyExW(class_key, L"InprocServer32", 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                             server.put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = set_string_value(server.get(), nullptr, dll_path);
    if (status != ERROR_SUCCESS) return status;
    return set_string_value(server.get(), L"ThreadingModel", L"Both");
}

}  // namespace

const wchar_t* view_name(DWORD view) { return view == KEY_WOW64_32KEY ? L"32-bit" : L"64-bit"; }

int write_com_class(const wchar_t* class_id, const wchar_t* friendly_name, const wchar_t* dll_path, DWORD view)
{
    wchar_t key_path[PATH_CHARS];
    class_key_path(key_path, class_id);
    unique_key class_key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                     class_key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        log_line(L"class %ls: cannot create (%ld)", class_id, static_cast<long>(status));
        return 0;
    }
    status = write_class_values(class_key.get(), friendly_name, dll_path, view);
    if (status != ERROR_SUCCESS) {
        log_line(L"class %ls: not written (%ld)", class_id, static_cast<long>(status));
        return 0;
    }
    return 1;
}

void delete_com_class(const wchar_t* class_id, DWORD view)
{
    unique_key root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLSID_ROOT, 0, KEY_ALL_ACCESS | view, root.put()) != ERROR_SUCCESS) return;
    LSTATUS status = RegDeleteTreeW(root.get(), class_id);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        log_line(L"class %ls (%ls view): not deleted (%ld)", class_id, view_name(view), static_cast<long>(status));
    }
}

HMODULE load_server_dll(const wchar_t* dll_path, HRESULT* load_result)
{
    // The DLL's own folder first, then System32: never the PATH folders or the
    // current folder, which a standard user may control while we run elevated.
    HMODULE dll = LoadLibraryExW(dll_path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    *load_result = S_OK;
    if (dll == nullptr) {
        DWORD error = GetLastError();
        long code = static_cast<long>(error);
        *load_result = code <= 0 ? static_cast<HRESULT>(code) : static_cast<HRESULT>(0x80070000UL | (error & 0xFFFFUL));
    }
    return dll;
}

HRESULT call_loaded_export(HMODULE dll, const char* export_name)
{
    using entry_point = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<entry_point>(reinterpret_cast<void (*)()>(GetProcAddress(dll, export_name)));
    if (entry == nullptr) return EXPORT_MISSING_RESULT;
    return entry();
}

HRESULT call_dll_export(const wchar_t* dll_path, const char* export_name)
{
    HRESULT load_result = S_OK;
    unique_module dll(load_server_dll(dll_path, &load_result));
    if (!dll) return load_result;
    return call_loaded_export(dll.get(), export_name);
}

int com_class_points_at(const wchar_t* class_id, const wchar_t* dll_path)
{
    wchar_t key_path[PATH_CHARS];
    if (!server_key_path(key_path, class_id)) return 0;
    unique_key server;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ | KEY_WOW64_64KEY, server.put()) != ERROR_SUCCESS) {
        return 0;
    }
    wchar_t value[PATH_CHARS] = {};
    // One character short of the buffer, so the value always ends in a zero.
    DWORD bytes = (PATH_CHARS - 1) * sizeof(wchar_t);
    if (RegQueryValueExW(server.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &bytes) !=
        ERROR_SUCCESS) {
        return 0;
    }
    server.reset();
    return same_ignoring_ascii_case(value, dll_path);
}
