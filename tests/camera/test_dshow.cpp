// Stands in for a DirectShow filter DLL: the program only copies it and checks
// its signer, so its bytes are all that matters; DSHOW_VARIANT makes them differ,
// and DSHOW_LARGE adds 32 MiB of constant data (the benchmark's large filter).
#include <windows.h>

extern "C" __declspec(dllexport) const char* test_dshow_variant() { return DSHOW_VARIANT; }

#ifdef DSHOW_LARGE
// Exported, so that the linker keeps it: 32 MiB in the file's read-only data.
extern "C" __declspec(dllexport) const unsigned char test_dshow_large_data[32u << 20] = {1, 2, 3};
#endif
