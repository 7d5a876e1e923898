#include "trust/system_library.h"

HMODULE load_system_library(const wchar_t* name)
{
    // wintrust.dll and crypt32.dll are not KnownDLLs: a plain load would look in
    // the program's own folder first, and a DLL planted there could answer
    // "valid" to every signature check of an elevated run.
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
