#include <windows.h>
#include <knownfolders.h>

#include <cwchar>

#include "camera/camera.h"
#include "camera/camera_constants.h"
#include "base/link_safe.h"
#include "base/owners.h"
#include "base/paths.h"
#include "fs/folders.h"
#include "log/log.h"
#include "system/com_class.h"
#include "system/frame_server.h"
#include "trust/signature.h"

namespace {

bool exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Removes the parent folder of the camera only when it holds nothing but "."
// and "..": anything else in it, hidden or not, belongs to somebody.
void remove_parent_when_empty(const wchar_t* parent)
{
    wchar_t pattern[PATH_CHARS];
    if (!join_path(pattern, parent, L"*")) return;
    WIN32_FIND_DATAW data;
    unique_find listing(FindFirstFileW(pattern, &data));
    if (listing) {
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) return;
        } while (FindNextFileW(listing.get(), &data));
        listing.reset();
    }
    RemoveDirectoryW(parent);
}

// The DLL knows best what it registered, but it runs as administrator here:
// it is loaded only when it carries the program's own signer, checked through
// a handle that keeps it from being written or renamed until the call is over.
// Whatever it answers, the keys go afterwards.
void unregister_checked_dll(const wchar_t* dll)
{
    unique_handle held(CreateFileW(dll, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    wchar_t dll_signer[SIGNER_CHARS];
    if (!held || same_signer_verdict(dll, held.get(), dll_signer) != signer_verdict::accepted) {
        log_line(L"%ls does not pass the signer check - its classes are removed without calling it", dll);
        return;
    }
    call_dll_export(dll, UNREGISTER_SERVER_ENTRY);
}

}  // namespace

int remove_camera()
{
    wchar_t camera_dir[PATH_CHARS];
    if (!camera_folder(camera_dir)) {
        log_line(L"cannot work out the camera folder");
        return 0;
    }
    wchar_t dll[PATH_CHARS];
    if (join_path(dll, camera_dir, VCAM_DLL_NAME) && exists(dll)) unregister_checked_dll(dll);

    for (const wchar_t* class_id : vcam_class_ids) delete_com_class(class_id, KEY_WOW64_64KEY);
    for (const wchar_t* class_id : dshow_class_ids) {
        delete_com_class(class_id, KEY_WOW64_64KEY);
        delete_com_class(class_id, KEY_WOW64_32KEY);
    }

    delete_tree(camera_dir);
    wchar_t parent[PATH_CHARS];
    wcscpy_s(parent, PATH_CHARS, camera_dir);
    parent_folder(parent);
    remove_parent_when_empty(parent);

    remove_legacy_data();

    if (exists(camera_dir)) {
        log_line(L"%ls is still there (a camera DLL that is loaded somewhere); the next restart of Windows frees it",
                 camera_dir);
    } else {
        log_line(L"MIRVO cameras unregistered and %ls removed", camera_dir);
    }
    return 1;
}

void remove_legacy_data()
{
    wchar_t program_data[PATH_CHARS];
    if (!known_folder_path(FOLDERID_ProgramData, program_data)) return;
    wchar_t legacy[PATH_CHARS];
    if (!join_path(legacy, program_data, L"mirvo")) return;

    // Any user may create %ProgramData%\mirvo: it is opened relative to
    // ProgramData and judged by its handle, so nothing can be swapped in
    // between the look and the deletion.
    unique_handle data_folder(open_folder(program_data, 0));
    if (!data_folder) return;
    entry_facts facts = {};
    unique_handle mirvo(open_entry(data_folder.get(), L"mirvo", entry_use::folder, &facts));
    DWORD attributes = GetFileAttributesW(legacy);
    bool listed_as_link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (listed_as_link || (mirvo && facts.kind != entry_kind::plain)) {
        log_line(L"%ls is a link to another folder: removing the link, not what it points at", legacy);
        mirvo.reset();
        remove_link(data_folder.get(), L"mirvo");  // only through a handle that is the link itself
        return;
    }
    if (!mirvo) return;

    wchar_t legacy_camera[PATH_CHARS];
    if (!join_path(legacy_camera, legacy, L"vcam")) return;
    if (!delete_tree_at(mirvo.get(), L"vcam", legacy_camera)) {
        // The Frame Server may still hold a camera DLL from there.
        stop_frame_server();
        delete_tree_at(mirvo.get(), L"vcam", legacy_camera);
    }
    delete_by_handle(mirvo.get());  // goes only when empty, once the handle closes
}
