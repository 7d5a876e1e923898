#include <windows.h>

#include <cwchar>
#include <utility>

#include "base/ascii_case.h"
#include "audio/run_program.h"
#include "audio/vbcable.h"
#include "audio/vbcable_constants.h"
#include "base/paths.h"
#include "log/log.h"
#include "trust/signature.h"

namespace {

constexpr const wchar_t* DRIVE_PREFIX = L"\\\\?\\";    // \\?\C:\...
constexpr const wchar_t* SHARE_PREFIX = L"\\\\?\\UNC\\";  // \\?\UNC\server\share\...
constexpr size_t DRIVE_PREFIX_CHARS = 4;
constexpr size_t SHARE_PREFIX_CHARS = 8;

// Room for a final path whose shortened form still fits a path buffer.
constexpr size_t FINAL_PATH_CHARS = PATH_CHARS + SHARE_PREFIX_CHARS;

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

int image_path_from_final_path(const wchar_t* final_path, wchar_t* destination)
{
    destination[0] = 0;
    if (equal_ignoring_ascii_case(final_path, SHARE_PREFIX, SHARE_PREFIX_CHARS)) {
        const wchar_t* share = final_path + SHARE_PREFIX_CHARS;
        if (share[0] == 0 || share[0] == L'\\') return 0;
        if (wcslen(share) + 2 >= PATH_CHARS) return 0;
        destination[0] = L'\\';
        destination[1] = L'\\';
        wcscpy(destination + 2, share);
        return 1;
    }
    if (wcsncmp(final_path, DRIVE_PREFIX, DRIVE_PREFIX_CHARS) == 0) {
        const wchar_t* drive_path = final_path + DRIVE_PREFIX_CHARS;
        if (!is_drive_letter(drive_path[0]) || drive_path[1] != L':' || drive_path[2] != L'\\') return 0;
        if (wcslen(drive_path) >= PATH_CHARS) return 0;
        wcscpy(destination, drive_path);
        return 1;
    }
    // A volume GUID path or anything else: no drive or share to start it from.
    return 0;
}

int image_on_local_disk(const wchar_t* image_path)
{
    // "\\server\share\...": whatever the held handle pins, the server can hand
    // the process start other bytes than the ones that were checked.
    if (image_path[0] == L'\\' && image_path[1] == L'\\') return 0;
    wchar_t root[PATH_CHARS];
    if (!GetVolumePathNameW(image_path, root, static_cast<DWORD>(PATH_CHARS))) return 0;
    UINT type = GetDriveTypeW(root);
    return type != DRIVE_REMOTE && type != DRIVE_NO_ROOT_DIR && type != DRIVE_UNKNOWN;
}

int open_vbcable_setup(const wchar_t* setup_path, unique_handle& file, wchar_t* image_path)
{
    image_path[0] = 0;
    // Shared for reading only: while it is held nobody can write, rename or
    // delete the file, so what is checked is what runs.
    unique_handle opened(CreateFileW(setup_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened) return 0;
    // The handle pins the file, not its path: a folder link on the given path can
    // be pointed elsewhere after the check. The final path names the opened file
    // through real folders, which cannot be renamed while it is open.
    wchar_t final_path[FINAL_PATH_CHARS];
    DWORD length = GetFinalPathNameByHandleW(opened.get(), final_path, FINAL_PATH_CHARS,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= FINAL_PATH_CHARS) return 0;
    if (!image_path_from_final_path(final_path, image_path)) return 0;
    file = std::move(opened);
    return 1;
}

int run_vbcable_setup(const wchar_t* setup_path, const vbcable_setup_run& run)
{
    unique_handle setup;
    wchar_t image_path[PATH_CHARS];
    if (!open_vbcable_setup(setup_path, setup, image_path)) {
        log_line(run.not_found_message, setup_path);
        return 0;
    }
    if (!image_on_local_disk(image_path)) {
        log_line(L"VB-CABLE setup at %ls is not on a local disk - refusing to run it elevated", setup_path);
        return 0;
    }
    if (!check_vbcable_signer(setup_path, image_path, setup.get())) {  // logs its own refusal
        log_line(run.refused_message);
        return 0;
    }
    log_line(run.starting_message);
    DWORD exit_code = 0;
    if (!run_and_wait(setup_path, image_path, run.arguments, VBCABLE_RUN_TIMEOUT_MS, &exit_code)) return 0;
    return run.judge(exit_code);
}
