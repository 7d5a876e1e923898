#include "support/camera_state.h"

#include "base/owners.h"
#include "base/paths.h"
#include "camera/camera_constants.h"
#include "support/test_support.h"
#include "system/com_class.h"

namespace {

bool same_text_ignoring_case(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring camera_payload(const std::wstring& relative) { return built_program(L"camera_payloads\\") + relative; }
std::wstring signed_machine() { return camera_payload(L"machine\\signed\\mirvo_machine.exe"); }

std::wstring class_value(const wchar_t* class_id, const wchar_t* subkey, const wchar_t* value, DWORD view)
{
    std::wstring key_path = std::wstring(CLSID_ROOT) + L"\\" + class_id;
    if (subkey != nullptr) key_path += std::wstring(L"\\") + subkey;
    unique_key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t data[PATH_CHARS] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"";
    }
    return data;
}

bool class_exists(const wchar_t* class_id, DWORD view)
{
    unique_key key;
    std::wstring key_path = std::wstring(CLSID_ROOT) + L"\\" + class_id;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

void delete_class(const wchar_t* class_id, DWORD view)
{
    unique_key root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLSID_ROOT, 0, KEY_ALL_ACCESS | view, root.put()) == ERROR_SUCCESS) {
        RegDeleteTreeW(root.get(), class_id);
    }
}

void clean_camera_state()
{
    remove_tree(program_files() + L"\\mirvo");
    remove_tree(program_data() + L"\\mirvo");
    for (const wchar_t* class_id : {vcam_class_ids[0], vcam_class_ids[1], dshow_class_ids[0], dshow_class_ids[1]}) {
        delete_class(class_id, KEY_WOW64_64KEY);
        delete_class(class_id, KEY_WOW64_32KEY);
    }
    ASSERT_FALSE(path_exists(program_files() + L"\\mirvo")) << "a file under Program Files\\mirvo is held by some process";
}

bool vcam_keys_name(const std::wstring& path)
{
    for (const wchar_t* class_id : vcam_class_ids) {
        if (!same_text_ignoring_case(class_value(class_id, L"InprocServer32", nullptr, KEY_WOW64_64KEY), path)) {
            return false;
        }
    }
    return true;
}

bool dshow_keys_name(const std::wstring& path64, const std::wstring& path32)
{
    for (const wchar_t* class_id : dshow_class_ids) {
        if (class_value(class_id, L"InprocServer32", nullptr, KEY_WOW64_64KEY) != path64) return false;
        if (class_value(class_id, L"InprocServer32", nullptr, KEY_WOW64_32KEY) != path32) return false;
    }
    return true;
}
