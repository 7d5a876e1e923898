#include "base/paths.h"

#include <shlobj.h>

#include <cwchar>

namespace {

// Longest known folder accepted: leaves room for a separator and a short name.
constexpr size_t KNOWN_FOLDER_MAX_CHARS = 1021;

}  // namespace

bool ends_with_separator(const wchar_t* path)
{
    size_t length = wcslen(path);
    if (length == 0) return false;
    wchar_t last = path[length - 1];
    return last == L'\\' || last == L'/';
}

int join_path(wchar_t* destination, const wchar_t* folder, const wchar_t* name)
{
    size_t folder_length = wcslen(folder);
    size_t name_length = wcslen(name);
    // The 2 counts a separator even when none is added, so whether a pair of
    // lengths fits never depends on how the folder ends.
    if (folder_length + name_length + 2 >= PATH_CHARS) {
        destination[0] = 0;
        return 0;
    }
    // memmove: a caller may join onto its own destination buffer.
    wmemmove(destination, folder, folder_length);
    size_t at = folder_length;
    if (folder_length > 0 && !ends_with_separator(folder)) destination[at++] = L'\\';
    wmemcpy(destination + at, name, name_length);
    destination[at + name_length] = 0;
    return 1;
}

void parent_folder(wchar_t* path)
{
    wchar_t* last = wcsrchr(path, L'\\');
    if (last != nullptr) *last = 0;
}

int take_known_folder(const wchar_t* folder, wchar_t* destination)
{
    if (folder == nullptr) return 0;
    size_t length = wcslen(folder);
    if (length > KNOWN_FOLDER_MAX_CHARS) return 0;
    wmemcpy(destination, folder, length + 1);
    return 1;
}

int known_folder_path(REFKNOWNFOLDERID folder_id, wchar_t* destination)
{
    PWSTR folder = nullptr;
    HRESULT hr = SHGetKnownFolderPath(folder_id, 0, nullptr, &folder);
    int ok = SUCCEEDED(hr) && take_known_folder(folder, destination);
    // Windows may hand a string back even with a failure: it is ours to free.
    if (folder != nullptr) CoTaskMemFree(folder);
    return ok;
}

int camera_folder(wchar_t* destination)
{
    wchar_t program_files[PATH_CHARS];
    if (!known_folder_path(FOLDERID_ProgramFiles, program_files)) return 0;
    return join_path(destination, program_files, L"mirvo\\Camera");
}
