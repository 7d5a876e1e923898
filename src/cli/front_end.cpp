#include "cli/front_end.h"

#include <windows.h>
#include <objbase.h>

#include <cwchar>

#include "app/app.h"
#include "audio/vbcable.h"
#include "camera/camera.h"
#include "log/log.h"
#include "machine/machine.h"
#include "base/owners.h"

namespace {

bool given(const wchar_t* field) { return field[0] != 0; }

int from_flag(int success) { return success ? STATUS_DONE : STATUS_FAILED; }

int run_stop_app(const setup_options* o) { return stop_app(o); }
int run_relaunch(const setup_options* o) { return relaunch_app(o); }

int run_vbcable_verify(const setup_options* o)
{
    if (!given(o->setup_path)) return STATUS_BAD_ARGUMENTS;
    return verify_vbcable_setup(o->setup_path);
}

int run_camera_install(const setup_options* o)
{
    // With both folders given, the Windows 11 camera wins.
    if (given(o->vcam_dir)) return from_flag(install_vcam(o->vcam_dir));
    if (given(o->dshow_dir)) return from_flag(install_dshow(o->dshow_dir));
    return STATUS_BAD_ARGUMENTS;
}

int run_camera_remove(const setup_options*) { return from_flag(remove_camera()); }

int run_vbcable_install(const setup_options* o)
{
    if (!given(o->setup_path)) return STATUS_BAD_ARGUMENTS;
    return from_flag(install_vbcable(o->setup_path));
}

int run_machine_setup(const setup_options* o) { return machine_setup(o); }
int run_machine_remove(const setup_options* o) { return machine_remove(o); }

struct verb_binding {
    const wchar_t* verb;
    bool needs_elevation;
    int (*run)(const setup_options*);
};

// The one place where verbs are bound to flows; the first exact match decides.
const verb_binding VERBS[] = {
    {L"stop-app", false, run_stop_app},
    {L"relaunch", false, run_relaunch},
    {L"vbcable-verify", false, run_vbcable_verify},
    {L"camera-install", true, run_camera_install},
    {L"camera-remove", true, run_camera_remove},
    {L"vbcable-install", true, run_vbcable_install},
    {L"machine-setup", true, run_machine_setup},
    {L"machine-remove", true, run_machine_remove},
};

}  // namespace

void choose_log_path(const wchar_t* verb, const setup_options* options, const wchar_t* temp_folder,
                     wchar_t* destination)
{
    destination[0] = 0;
    if (given(options->log_file)) {
        wcscpy_s(destination, PATH_CHARS, options->log_file);
        return;
    }
    // Without a temporary folder the whole run logs nothing, whatever the verb.
    if (!given(temp_folder)) return;

    if (wcscmp(verb, L"machine-remove") == 0) {
        join_path(destination, temp_folder, L"mirvo_uninstall.log");
        return;
    }
    if (wcscmp(verb, L"machine-setup") == 0 && given(options->install_dir) &&
        GetFileAttributesW(options->install_dir) != INVALID_FILE_ATTRIBUTES) {
        join_path(destination, options->install_dir, L"install.log");
        return;
    }
    join_path(destination, temp_folder, L"mirvo_install_early.log");
}

int token_is_elevated()
{
    unique_handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return 0;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        return 0;
    }
    return elevation.TokenIsElevated != 0;
}

int dispatch_verb(const wchar_t* verb, const setup_options* options)
{
    for (const verb_binding& binding : VERBS) {
        if (wcscmp(verb, binding.verb) != 0) continue;
        // Checked before any option is looked at: a verb that changes the
        // machine does nothing at all on a token that is not elevated.
        if (binding.needs_elevation && !token_is_elevated()) return STATUS_NOT_ELEVATED;
        return binding.run(options);
    }
    return STATUS_BAD_ARGUMENTS;
}

int run_front_end(int argc, wchar_t** argv)
{
    if (argv == nullptr || argc < 2) return STATUS_BAD_ARGUMENTS;
    const wchar_t* verb = argv[1];
    if (wcscmp(verb, L"version") == 0) return STATUS_DONE;

    unique_local record(LocalAlloc(LMEM_ZEROINIT, sizeof(setup_options)));
    if (!record) return STATUS_FAILED;
    setup_options* options = static_cast<setup_options*>(record.get());
    if (!parse_options(argc, argv, options)) return STATUS_BAD_ARGUMENTS;

    wchar_t temp_folder[PATH_CHARS];
    DWORD temp_length = GetTempPathW(static_cast<DWORD>(PATH_CHARS), temp_folder);
    // 0 is failure; a length that does not fit leaves nothing usable in the buffer.
    if (temp_length == 0 || temp_length >= PATH_CHARS) temp_folder[0] = 0;
    choose_log_path(verb, options, temp_folder, log_path);

    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    int status = dispatch_verb(verb, options);

    if (SUCCEEDED(com)) CoUninitialize();
    return status;
}
