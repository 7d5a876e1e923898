#include "trust/own_image.h"

#include <windows.h>
#include <wintrust.h>

#include "base/owners.h"
#include "base/paths.h"
#include "trust/signature.h"

namespace {

// The held own file, its read-only view, and what was read from it: set once
// per process, released only when the process ends.
HANDLE own_file = nullptr;
const unsigned char* own_view = nullptr;
size_t own_view_bytes = 0;
bool own_held_tried = false;
bool own_signer_read = false;
own_signer_state own_state = own_signer_state::unreadable;
wchar_t own_name[SIGNER_CHARS];

using are_mapped_files_the_same_function = LONG(NTAPI*)(PVOID image, PVOID file);

// ntdll is in every process; it is found among the loaded modules, never loaded.
bool same_as_running_image(const void* view)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return false;
    auto same = reinterpret_cast<are_mapped_files_the_same_function>(
        reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtAreMappedFilesTheSame")));
    return same != nullptr && same(GetModuleHandleW(nullptr), const_cast<void*>(view)) == 0;
}

// The security directory of a PE file mapped as data, bounds-checked against
// its size; false when the headers do not fit or are not a PE's.
bool security_directory(const unsigned char* view, size_t size, IMAGE_DATA_DIRECTORY* directory)
{
    if (size < sizeof(IMAGE_DOS_HEADER)) return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(view);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0) return false;
    size_t nt_at = static_cast<size_t>(dos->e_lfanew);
    if (nt_at > size || size - nt_at < sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) + sizeof(WORD)) return false;
    if (*reinterpret_cast<const DWORD*>(view + nt_at) != IMAGE_NT_SIGNATURE) return false;
    size_t optional_at = nt_at + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    WORD magic = *reinterpret_cast<const WORD*>(view + optional_at);
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        if (size - optional_at < sizeof(IMAGE_OPTIONAL_HEADER64)) return false;
        const auto* optional = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(view + optional_at);
        if (optional->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) return false;
        *directory = optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
        return true;
    }
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        if (size - optional_at < sizeof(IMAGE_OPTIONAL_HEADER32)) return false;
        const auto* optional = reinterpret_cast<const IMAGE_OPTIONAL_HEADER32*>(view + optional_at);
        if (optional->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) return false;
        *directory = optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
        return true;
    }
    return false;
}

}  // namespace

void signer_from_mapped_file(const unsigned char* view, size_t size, bool* has_table, wchar_t* destination,
                             size_t capacity)
{
    *has_table = true;  // unless the headers say so, a file is taken as signed
    if (capacity == 0) return;
    destination[0] = 0;
    IMAGE_DATA_DIRECTORY certificates = {};
    if (!security_directory(view, size, &certificates)) return;
    if (certificates.VirtualAddress == 0 && certificates.Size == 0) {
        *has_table = false;
        return;
    }
    // The certificate table is not mapped at run time: its "virtual address" is
    // an offset in the file. It starts with an 8-byte WIN_CERTIFICATE header.
    constexpr DWORD HEADER_BYTES = 8;
    size_t at = certificates.VirtualAddress;
    if (at > size || size - at < certificates.Size || certificates.Size < HEADER_BYTES) return;
    const auto* certificate = reinterpret_cast<const WIN_CERTIFICATE*>(view + at);
    if (certificate->dwLength < HEADER_BYTES || certificate->dwLength > certificates.Size) return;
    if (certificate->wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA) return;
    signer_name_from_pkcs7(view + at + HEADER_BYTES, certificate->dwLength - HEADER_BYTES, destination, capacity);
}

void hold_own_image()
{
    if (own_held_tried) return;
    own_held_tried = true;
    wchar_t own_path[PATH_CHARS];
    DWORD length = GetModuleFileNameW(nullptr, own_path, PATH_CHARS);
    // A cut path would name some other file.
    if (length == 0 || length >= PATH_CHARS) return;

    // Shared for reading only: while this run trusts the file, nobody may write
    // it or rename another file into its place. Process starts and copies of
    // the program only read it, so they still work.
    unique_handle file(CreateFileW(own_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<unsigned long long>(size.QuadPart) > static_cast<SIZE_T>(-1)) {
        return;
    }
    unique_handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return;
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) return;
    // The path may have named another file before it was held: what counts is
    // that the held file is the image this process was started from.
    if (!same_as_running_image(view)) {
        UnmapViewOfFile(view);
        return;
    }
    own_file = file.release();
    own_view = static_cast<const unsigned char*>(view);
    own_view_bytes = static_cast<size_t>(size.QuadPart);
}

own_signer_state own_signer(const wchar_t** name)
{
    *name = L"";
    if (!own_signer_read) {
        own_signer_read = true;
        hold_own_image();
        own_name[0] = 0;
        if (own_view != nullptr) {
            bool has_table = true;
            signer_from_mapped_file(own_view, own_view_bytes, &has_table, own_name, SIGNER_CHARS);
            if (!has_table) {
                own_state = own_signer_state::not_signed;
            } else if (own_name[0] != 0) {
                own_state = own_signer_state::known;
            }
        }
    }
    if (own_state == own_signer_state::known) *name = own_name;
    return own_state;
}
