// System DLLs that are not KnownDLLs, loaded at run time from System32 only.
#pragma once

#include <windows.h>

// Loads name (e.g. L"wintrust.dll") from the System32 folder and nowhere else,
// so that a copy planted beside the program is never picked up. Null on failure;
// the caller frees the module (unique_module).
HMODULE load_system_library(const wchar_t* name);

// wintrust.dll and crypt32.dll, each loaded by load_system_library on its first
// use in the process and kept until the process ends: every signature check of
// a run shares one start-up of Windows' crypto, which costs far more than the
// check itself. Null when the load fails (a later call tries again); the caller
// never frees them.
HMODULE kept_wintrust();
HMODULE kept_crypt32();

// The exported function name of module as a pointer of type Function, or null
// when module is null or does not export it.
template <typename Function>
Function system_function(HMODULE module, const char* name)
{
    if (module == nullptr) return nullptr;
    // Through the generic function pointer type: a direct cast from FARPROC to a
    // function with parameters draws a warning on GCC.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
