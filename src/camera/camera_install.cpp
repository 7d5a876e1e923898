#include <windows.h>

#include <cwchar>
#include <initializer_list>

#include "camera/camera.h"
#include "camera/camera_constants.h"
#include "base/owners.h"
#include "base/paths.h"
#include "fs/folders.h"
#include "fs/placement.h"
#include "log/log.h"
#include "system/com_class.h"
#include "trust/signature.h"

namespace {

constexpr const wchar_t* NOT_PLACED_INTACT =
    L"the camera DLL could not be put in place intact; the camera this machine already has is untouched";

bool exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Gives %ProgramFiles%\mirvo its exact name, then makes sure it and the camera
// folder exist; a folder that is already there is fine.
void prepare_camera_folders(const wchar_t* camera_dir)
{
    wchar_t parent[PATH_CHARS];
    wcscpy_s(parent, PATH_CHARS, camera_dir);
    parent_folder(parent);
    fix_folder_case(parent);
    CreateDirectoryW(parent, nullptr);
    CreateDirectoryW(camera_dir, nullptr);
}

// Best effort: takes the DirectShow camera off, in both views, with its files.
void remove_dshow_camera(const wchar_t* camera_dir)
{
    for (const wchar_t* class_id : dshow_class_ids) {
        delete_com_class(class_id, KEY_WOW64_64KEY);
        delete_com_class(class_id, KEY_WOW64_32KEY);
    }
    for (const wchar_t* name : {DSHOW64_DLL_NAME, DSHOW32_DLL_NAME}) {
        wchar_t file[PATH_CHARS];
        if (join_path(file, camera_dir, name)) DeleteFileW(file);
    }
}

// Deletes every "*.old" in the camera folder: copies moved aside by this and
// earlier runs. One that a process still holds stays for a later run; folders
// simply fail to delete.
void delete_moved_aside(const wchar_t* camera_dir)
{
    wchar_t pattern[PATH_CHARS];
    if (!join_path(pattern, camera_dir, L"*.old")) return;
    WIN32_FIND_DATAW data;
    unique_find listing(FindFirstFileW(pattern, &data));
    if (!listing) return;
    do {
        wchar_t file[PATH_CHARS];
        if (join_path(file, camera_dir, data.cFileName)) DeleteFileW(file);
    } while (FindNextFileW(listing.get(), &data));
}

// Opens a payload once; one that cannot be opened is reported as the copy that
// could not be made, before anything on the machine changes.
bool open_camera_payload(const wchar_t* source, const wchar_t* camera_dir, const wchar_t* name, int move_aside,
                         payload_file* payload)
{
    open_payload(source, payload);
    if (payload->file) return true;
    report_unopened_payload(*payload, camera_dir, name, move_aside);
    return false;
}

}  // namespace

int install_vcam(const wchar_t* vcam_dir)
{
    wchar_t camera_dir[PATH_CHARS];
    wchar_t source[PATH_CHARS];
    if (!camera_folder(camera_dir) || !join_path(source, vcam_dir, VCAM_DLL_NAME)) {
        log_line(L"cannot work out the camera folders");
        return 0;
    }
    if (!exists(source)) {
        log_line(L"camera DLL missing at %ls - nothing to register", source);
        return 0;
    }
    wchar_t target[PATH_CHARS];
    if (!join_path(target, camera_dir, VCAM_DLL_NAME)) return 0;
    // The payload is held to the program's own signer before anything on the
    // machine changes, and what is placed is copied from this same handle and
    // proven byte for byte: no path an app loads ever holds unchecked bytes.
    payload_file payload;
    if (!open_camera_payload(source, camera_dir, VCAM_DLL_NAME, 0, &payload)) {
        log_line(NOT_PLACED_INTACT);
        return 0;
    }
    if (!check_same_signer(source, payload.file.get())) return 0;  // logs why
    // Nothing on the machine has changed up to here.
    prepare_camera_folders(camera_dir);

    // Staged, with the Frame Server stopped between refused renames: it may hold the old DLL.
    if (!place_payload(payload, camera_dir, VCAM_DLL_NAME, 1, 0)) {
        log_line(NOT_PLACED_INTACT);
        return 0;
    }
    grant_read_execute(camera_dir);  // logs its own failures; apps may still work without it

    // Loaded once for both calls: a camera DLL may be large, and a second load
    // maps and relocates all of it again for nothing.
    HRESULT load_result = S_OK;
    unique_module server(load_server_dll(target, &load_result));
    HRESULT result = server ? call_loaded_export(server.get(), UNREGISTER_SERVER_ENTRY) : load_result;
    if (FAILED(result)) log_line(L"DllUnregisterServer returned 0x%08lx (continuing)", static_cast<unsigned long>(result));

    // The older DirectShow camera would show up as a second camera.
    remove_dshow_camera(camera_dir);

    result = server ? call_loaded_export(server.get(), REGISTER_SERVER_ENTRY) : load_result;
    server.reset();
    if (FAILED(result)) {
        log_line(L"DllRegisterServer returned 0x%08lx - the camera is NOT registered", static_cast<unsigned long>(result));
        return 0;
    }
    // The DLL wrote the keys itself; they must lead to the file just proven.
    for (const wchar_t* class_id : vcam_class_ids) {
        if (!com_class_points_at(class_id, target)) {
            log_line(L"the camera classes do not point at %ls after registering", target);
            return 0;
        }
    }
    remove_legacy_data();
    log_line(L"MIRVO Camera registered from %ls", camera_dir);
    return 1;
}

int install_dshow(const wchar_t* dshow_dir)
{
    wchar_t camera_dir[PATH_CHARS];
    wchar_t source64[PATH_CHARS];
    wchar_t source32[PATH_CHARS];
    if (!camera_folder(camera_dir) || !join_path(source64, dshow_dir, DSHOW64_DLL_NAME) ||
        !join_path(source32, dshow_dir, DSHOW32_DLL_NAME)) {
        log_line(L"cannot work out the camera folders");
        return 0;
    }
    if (!exists(source64) || !exists(source32)) {
        log_line(L"DirectShow filter missing in %ls - nothing to register", dshow_dir);
        return 0;
    }
    wchar_t target64[PATH_CHARS];
    wchar_t target32[PATH_CHARS];
    // A camera folder too long for the names: nothing could be placed there.
    if (!join_path(target64, camera_dir, DSHOW64_DLL_NAME) || !join_path(target32, camera_dir, DSHOW32_DLL_NAME)) {
        return 0;
    }
    // Both are opened and checked before either is placed: a refused update
    // leaves the camera this machine has exactly as it was.
    payload_file payload64;
    payload_file payload32;
    if (!open_camera_payload(source64, camera_dir, DSHOW64_DLL_NAME, 1, &payload64) ||
        !open_camera_payload(source32, camera_dir, DSHOW32_DLL_NAME, 1, &payload32)) {
        return 0;
    }
    if (!check_same_signer(source64, payload64.file.get()) || !check_same_signer(source32, payload32.file.get())) {
        return 0;  // logs why
    }
    // Nothing on the machine has changed up to here.
    prepare_camera_folders(camera_dir);

    // Apps may have the old DLLs loaded: they are moved aside, not overwritten.
    // A 64-bit DLL placed before the 32-bit one fails is checked, so it stays.
    if (!place_payload(payload64, camera_dir, DSHOW64_DLL_NAME, 0, 1)) return 0;
    if (!place_payload(payload32, camera_dir, DSHOW32_DLL_NAME, 0, 1)) return 0;
    grant_read_execute(camera_dir);  // logs its own failures; apps may still work without it

    // Every write is tried: a camera that works for one width is better than none.
    int written = 1;
    for (int i = 0; i < 2; ++i) {
        if (!write_com_class(dshow_class_ids[i], dshow_friendly_names[i], target64, KEY_WOW64_64KEY)) written = 0;
        if (!write_com_class(dshow_class_ids[i], dshow_friendly_names[i], target32, KEY_WOW64_32KEY)) written = 0;
    }
    if (!written) return 0;  // the moved-aside copies stay: the keys may still need them

    delete_moved_aside(camera_dir);
    log_line(L"machine-wide camera classes registered OK (apps run as administrator can open the camera)");
    return 1;
}
