#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

enum option_kind { TEXT_VALUE, NUMBER_VALUE, PREFIX_VALUE, FLAG };

struct option_spec {
    const wchar_t* name;
    option_kind kind;
    size_t offset;    // of the field within setup_options
    size_t capacity;  // of a text field, terminator included
};

#define TEXT_FIELD(name, field) \
    {name, TEXT_VALUE, offsetof(setup_options, field), sizeof(setup_options::field) / sizeof(wchar_t)}
#define NUMBER_FIELD(name, field) {name, NUMBER_VALUE, offsetof(setup_options, field), 0}
#define FLAG_FIELD(name, field) {name, FLAG, offsetof(setup_options, field), 0}

const option_spec OPTIONS[] = {
    TEXT_FIELD(L"--install-dir", install_dir),
    TEXT_FIELD(L"--vcam-dir", vcam_dir),
    TEXT_FIELD(L"--dshow-dir", dshow_dir),
    TEXT_FIELD(L"--setup", setup_path),
    TEXT_FIELD(L"--nonce", nonce),
    TEXT_FIELD(L"--log", log_file),
    TEXT_FIELD(L"--cwd", cwd),
    TEXT_FIELD(L"--exe-env", exe_env),
    TEXT_FIELD(L"--args-env", args_env),
    TEXT_FIELD(L"--fallback-env", fallback_env),
    {L"--prefix", PREFIX_VALUE, offsetof(setup_options, prefixes), PATH_CHARS},
    NUMBER_FIELD(L"--setup-pid", setup_pid),
    NUMBER_FIELD(L"--wait-pid", wait_pid),
    FLAG_FIELD(L"--no-camera", no_camera),
    FLAG_FIELD(L"--no-vbcable", no_vbcable),
    FLAG_FIELD(L"--vbcable", remove_vbcable),
    FLAG_FIELD(L"--wait-for-files", wait_for_files),
};

#undef TEXT_FIELD
#undef NUMBER_FIELD
#undef FLAG_FIELD

const option_spec* find_option(const wchar_t* argument)
{
    for (const option_spec& option : OPTIONS) {
        if (wcscmp(argument, option.name) == 0) return &option;
    }
    return nullptr;
}

// Copies at most capacity - 1 characters and zero-fills the rest up to there;
// the field's last element is never written, so it stays the terminator.
void copy_value(wchar_t* field, size_t capacity, const wchar_t* value)
{
    size_t i = 0;
    for (; i < capacity - 1 && value[i] != 0; ++i) field[i] = value[i];
    for (; i < capacity - 1; ++i) field[i] = 0;
}

void trim_install_dir(wchar_t* install_dir)
{
    size_t length = wcslen(install_dir);
    // A drive root such as C:\ keeps its separator.
    while (length > 3 && (install_dir[length - 1] == L'\\' || install_dir[length - 1] == L'/')) {
        install_dir[--length] = 0;
    }
}

}  // namespace

int parse_options(int argc, wchar_t** argv, setup_options* options)
{
    char* record = reinterpret_cast<char*>(options);
    int i = 2;
    while (i < argc) {
        const option_spec* option = find_option(argv[i]);
        if (option == nullptr) return 0;
        if (option->kind == FLAG) {
            *reinterpret_cast<uint32_t*>(record + option->offset) = 1;
            i += 1;
            continue;
        }
        if (i + 1 >= argc) return 0;
        const wchar_t* value = argv[i + 1];
        switch (option->kind) {
        case TEXT_VALUE:
            copy_value(reinterpret_cast<wchar_t*>(record + option->offset), option->capacity, value);
            break;
        case NUMBER_VALUE:
            // wcstoul saturates at 4294967295 and negates a leading minus modulo 2^32.
            *reinterpret_cast<uint32_t*>(record + option->offset) =
                static_cast<uint32_t>(wcstoul(value, nullptr, 10));
            break;
        case PREFIX_VALUE:
            if (options->prefix_count >= MAX_PREFIXES) return 0;
            copy_value(options->prefixes[options->prefix_count], PATH_CHARS, value);
            options->prefix_count += 1;
            break;
        case FLAG:
            break;
        }
        i += 2;
    }
    trim_install_dir(options->install_dir);
    return 1;
}
