// The steps of a signed camera install, each timed alone inside one fresh
// process, through the program's own code: where the benchmark's time goes.
// Not a test, never shipped.
//
//   bench_steps.exe SIGNED_EXE SOURCE_DLL TARGET_FOLDER
//
// Prints one line of milliseconds per step: the program's signer read from a
// signed program file mapped as data (as own_signer reads its own), the DLL's
// verification through its held handle, the same verification a second time,
// the placement (in place when TARGET_FOLDER already holds the same bytes),
// and one load and release of the placed DLL.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "base/paths.h"
#include "bench_clock.h"
#include "fs/placement.h"
#include "trust/own_image.h"
#include "trust/signature.h"

namespace {

double now_ms() { return 1000.0 * now_seconds(); }

// The signer of the file at path, read from a read-only view of it.
bool mapped_signer(const wchar_t* path, wchar_t* name)
{
    unique_handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size)) return false;
    unique_handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    const void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) return false;
    bool has_table = false;
    signer_from_mapped_file(static_cast<const unsigned char*>(view), static_cast<size_t>(size.QuadPart), &has_table,
                            name, SIGNER_CHARS);
    UnmapViewOfFile(view);
    return name[0] != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) return 2;
    const wchar_t* name = wcsrchr(argv[2], L'\\');
    name = name != nullptr ? name + 1 : argv[2];
    wchar_t target[PATH_CHARS];
    if (!join_path(target, argv[3], name)) return 2;

    wchar_t own[SIGNER_CHARS];
    double start = now_ms();
    bool own_read = mapped_signer(argv[1], own);
    double own_ms = now_ms() - start;

    payload_file payload;
    open_payload(argv[2], &payload);
    wchar_t signer[SIGNER_CHARS];
    start = now_ms();
    bool first = verified_signer(argv[2], payload.file.get(), signer, SIGNER_CHARS) != 0;
    double first_ms = now_ms() - start;
    start = now_ms();
    bool second = verified_signer(argv[2], payload.file.get(), signer, SIGNER_CHARS) != 0;
    double second_ms = now_ms() - start;

    start = now_ms();
    bool placed = place_payload(payload, argv[3], name, 0, 0) != 0;
    double place_ms = now_ms() - start;

    start = now_ms();
    HMODULE dll = LoadLibraryExW(target, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dll != nullptr) FreeLibrary(dll);
    double load_ms = now_ms() - start;

    std::printf("%8.1f %8.1f %8.1f %8.1f %8.1f\n", own_ms, first_ms, second_ms, place_ms, load_ms);
    return own_read && first && second && placed && dll != nullptr ? 0 : 1;
}
