#include "trust/system_library.h"

HMODULE load_system_library(const wchar_t* name)
{
    // wintrust.dll and crypt32.dll are not KnownDLLs: a plain load would look in
    // the program's own folder first, and a DLL planted there could answer
    // "valid" to every signature check of an elevated run.
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

namespace {

// Not freed: what the crypto DLLs set up (providers, the root store) is set up
// once, not once per check. A failed load is tried again next time.
HMODULE kept_library(HMODULE* kept, const wchar_t* name)
{
    if (*kept == nullptr) *kept = load_system_library(name);
    return *kept;
}

HMODULE wintrust_module = nullptr;
HMODULE crypt32_module = nullptr;

}  // namespace

HMODULE kept_wintrust() { return kept_library(&wintrust_module, L"wintrust.dll"); }

HMODULE kept_crypt32() { return kept_library(&crypt32_module, L"crypt32.dll"); }
