#include "sweep_support.h"

#include <knownfolders.h>

#include <algorithm>

#include "camera/camera_constants.h"
#include "base/paths.h"
#include "system/com_class.h"

namespace {

std::wstring class_server(const wchar_t* class_id, DWORD view)
{
    std::wstring key_path = std::wstring(CLSID_ROOT) + L"\\" + class_id + L"\\InprocServer32";
    unique_key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return L"";
    }
    wchar_t data[PATH_CHARS] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes) !=
        ERROR_SUCCESS) {
        return L"";
    }
    return data;
}

void delete_class(const wchar_t* class_id, DWORD view)
{
    unique_key root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLSID_ROOT, 0, KEY_ALL_ACCESS | view, root.put()) == ERROR_SUCCESS) {
        RegDeleteTreeW(root.get(), class_id);
    }
}

bool same_text_ignoring_case(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace


std::wstring camera_payload(const std::wstring& relative) { return built_program(L"camera_payloads\\") + relative; }
std::wstring signed_machine() { return camera_payload(L"machine\\signed\\mirvo_machine.exe"); }

void clean_camera_state()
{
    remove_tree(program_files() + L"\\mirvo");
    remove_tree(program_data() + L"\\mirvo");
    for (const wchar_t* class_id : {vcam_class_ids[0], vcam_class_ids[1], dshow_class_ids[0], dshow_class_ids[1]}) {
        delete_class(class_id, KEY_WOW64_64KEY);
        delete_class(class_id, KEY_WOW64_32KEY);
    }
    ASSERT_FALSE(path_exists(program_files() + L"\\mirvo")) << "a file under Program Files\\mirvo is held";
}

bool vcam_keys_name(const std::wstring& path)
{
    for (const wchar_t* class_id : vcam_class_ids) {
        if (!same_text_ignoring_case(class_server(class_id, KEY_WOW64_64KEY), path)) return false;
    }
    return true;
}

bool dshow_keys_name(const std::wstring& path64, const std::wstring& path32)
{
    for (const wchar_t* class_id : dshow_class_ids) {
        if (class_server(class_id, KEY_WOW64_64KEY) != path64) return false;
        if (class_server(class_id, KEY_WOW64_32KEY) != path32) return false;
    }
    return true;
}

running_program::running_program(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!start_process(nullptr, program.c_str(), command_line.data(), 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << to_utf8(program) << " did not start (" << GetLastError() << ")";
        return;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
}

running_program::~running_program() { end(); }

void running_program::end()
{
    if (!process_ || ended()) return;
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
}

bool running_program::ended(DWORD timeout_ms)
{
    return process_ && WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0;
}

DWORD running_program::exit_code()
{
    DWORD code = 0xFFFFFFFF;
    if (process_) GetExitCodeProcess(process_.get(), &code);
    return code;
}
