#include <windows.h>

#include "audio/vbcable.h"
#include "audio/vbcable_constants.h"
#include "camera/camera.h"
#include "base/paths.h"
#include "log/log.h"
#include "machine/machine.h"
#include "machine/staging.h"

namespace {

// The layout Setup stages inside the install folder.
constexpr const wchar_t* VCAM_SOURCE_FOLDER = L"cmp\\vcm";
constexpr const wchar_t* DSHOW_SOURCE_FOLDER = L"cmp\\dsc";

// The camera that suits this Windows, from the folder given for it or the one
// Setup stages; a failure is logged here once, whatever the reason.
void install_camera(const setup_options* options)
{
    bool windows11 = windows_build() >= WINDOWS11_FIRST_BUILD;
    const wchar_t* source = windows11 ? options->vcam_dir : options->dshow_dir;
    wchar_t staged[PATH_CHARS];
    int ok = 1;
    if (source[0] == 0) {
        ok = join_path(staged, options->install_dir, windows11 ? VCAM_SOURCE_FOLDER : DSHOW_SOURCE_FOLDER);
        source = staged;
    }
    if (ok) ok = windows11 ? install_vcam(source) : install_dshow(source);
    if (!ok) log_line(L"the camera was NOT registered - the app installs it before going live");
}

void install_audio_driver(const setup_options* options)
{
    wchar_t setup[PATH_CHARS];
    if (!join_path(setup, options->install_dir, VBCABLE_PAYLOAD_PATH) ||
        GetFileAttributesW(setup) == INVALID_FILE_ATTRIBUTES) {
        log_line(L"no VB-CABLE payload in this build; skipping");
        return;
    }
    install_vbcable(setup);  // it logs its own outcome
}

}  // namespace

DWORD windows_build()
{
    using rtl_get_version_call = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return 0;
    auto get_version = reinterpret_cast<rtl_get_version_call>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (get_version == nullptr) return 0;
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (get_version(&version) != 0) return 0;  // only STATUS_SUCCESS counts
    return version.dwBuildNumber;
}

int machine_setup(const setup_options* options)
{
    if (options->install_dir[0] == 0) return 2;
    if (options->wait_for_files && !wait_for_staging(options)) {
        write_done_marker(options);
        return 0;
    }
    log_line(L"-------- MIRVO elevated setup --------");
    if (options->no_camera) {
        log_line(L"virtual camera: not selected; skipping (the app offers it again before the first go-live)");
    } else {
        install_camera(options);
    }
    if (options->no_vbcable) {
        log_line(L"VB-CABLE: not selected; skipping (Advanced Settings can install the virtual microphone later)");
    } else {
        install_audio_driver(options);
    }
    log_line(L"done");
    write_done_marker(options);
    return 0;
}
