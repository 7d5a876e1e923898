#include "cli/front_end.h"

#include <windows.h>
#include <objbase.h>

#include <cwchar>

#include "app/app.h"
#include "base/ascii_case.h"
#include "base/owners.h"
#include "audio/vbcable.h"
#include "camera/camera.h"
#include "log/log.h"
#include "machine/machine.h"
#include "trust/own_image.h"

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
    // The flow may hold a camera DLL to the program's own signer.
    bool checks_own_signer;
    int (*run)(const setup_options*);
};

// The one place where verbs are bound to flows; the first exact match decides.
const verb_binding VERBS[] = {
    {L"stop-app", false, false, run_stop_app},
    {L"relaunch", false, false, run_relaunch},
    {L"vbcable-verify", false, false, run_vbcable_verify},
    {L"camera-install", true, true, run_camera_install},
    {L"camera-remove", true, true, run_camera_remove},
    {L"vbcable-install", true, false, run_vbcable_install},
    {L"machine-setup", true, true, run_machine_setup},
    {L"machine-remove", true, true, run_machine_remove},
};

const verb_binding* find_verb(const wchar_t* verb)
{
    for (const verb_binding& binding : VERBS) {
        if (wcscmp(verb, binding.verb) == 0) return &binding;
    }
    return nullptr;
}

bool is_trailing_junk(wchar_t c) { return c == L'.' || c == L' '; }

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Length of text once trailing dots and spaces are stripped, as Windows strips
// them from the last part of a file name.
size_t stripped_length(const wchar_t* text, size_t length)
{
    while (length > 0 && is_trailing_junk(text[length - 1])) --length;
    return length;
}

// The names Windows turns into devices wherever they stand in a path.
constexpr const wchar_t* DEVICE_NAMES[] = {L"CON", L"PRN", L"AUX", L"NUL"};
constexpr const wchar_t* NUMBERED_DEVICES[] = {L"COM", L"LPT"};

bool is_device_digit(wchar_t c)
{
    // COM1 to COM9, and the superscript one, two and three that Windows also takes.
    return (c >= L'1' && c <= L'9') || c == L'\u00b9' || c == L'\u00b2' || c == L'\u00b3';
}

// The last component names a DOS device: its base name (up to the first dot
// or colon, trailing spaces stripped) is one of DEVICE_NAMES, or COM or LPT
// with one device digit, A to Z compared without case.
bool names_dos_device(const wchar_t* path)
{
    const wchar_t* last = path;
    for (const wchar_t* c = path; *c != 0; ++c) {
        if (is_separator(*c)) last = c + 1;
    }
    // "C:NUL" names the device as well as "NUL" does.
    if (((last[0] >= L'A' && last[0] <= L'Z') || (last[0] >= L'a' && last[0] <= L'z')) && last[1] == L':') last += 2;
    size_t base = 0;
    while (last[base] != 0 && last[base] != L'.' && last[base] != L':') ++base;
    while (base > 0 && last[base - 1] == L' ') --base;
    if (base == 3) {
        for (const wchar_t* device : DEVICE_NAMES) {
            if (equal_ignoring_ascii_case(last, device, 3)) return true;
        }
    }
    if (base == 4 && is_device_digit(last[3])) {
        for (const wchar_t* device : NUMBERED_DEVICES) {
            if (equal_ignoring_ascii_case(last, device, 3)) return true;
        }
    }
    return false;
}

// The name, trailing dots and spaces stripped, ends in ".log" (A to Z folded),
// and its last component holds no stream name.
bool names_log_file(const wchar_t* path)
{
    size_t length = stripped_length(path, wcslen(path));
    if (length < 4 || !equal_ignoring_ascii_case(path + length - 4, L".log", 4)) return false;
    size_t last = 0;
    for (size_t i = 0; i < length; ++i) {
        if (is_separator(path[i])) last = i + 1;
    }
    // A drive letter's colon is no stream.
    size_t from = (length - last >= 2 && path[last + 1] == L':') ? last + 2 : last;
    for (size_t i = from; i < length; ++i) {
        if (path[i] == L':') return false;
    }
    return true;
}

}  // namespace

int log_file_allowed(const wchar_t* path, bool elevated_verb)
{
    // A device swallows the lines or, worse, sends them somewhere.
    if (names_dos_device(path)) return 0;
    // An elevated run appends where its caller says: only to a file that is a
    // log by its name, never to a script or a program's settings.
    if (elevated_verb && !names_log_file(path)) return 0;
    return 1;
}

void choose_log_path(const wchar_t* verb, const setup_options* options, const wchar_t* temp_folder,
                     wchar_t* destination)
{
    destination[0] = 0;
    if (given(options->log_file)) {
        const verb_binding* binding = find_verb(verb);
        bool elevated_verb = binding != nullptr && binding->needs_elevation;
        // A --log that is not taken logs nowhere; the temporary folder is no fallback.
        if (log_file_allowed(options->log_file, elevated_verb)) {
            wcscpy_s(destination, PATH_CHARS, options->log_file);
        }
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
    const verb_binding* binding = find_verb(verb);
    if (binding == nullptr) return STATUS_BAD_ARGUMENTS;
    // Checked before any option is looked at: a verb that changes the
    // machine does nothing at all on a token that is not elevated.
    if (binding->needs_elevation && !token_is_elevated()) return STATUS_NOT_ELEVATED;
    // Held from before the flow starts (machine-setup may wait hours for Setup):
    // nobody can swap the file whose signer the camera DLLs are held to.
    if (binding->checks_own_signer) hold_own_image();
    return binding->run(options);
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
