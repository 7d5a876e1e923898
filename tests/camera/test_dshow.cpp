// Stands in for a DirectShow filter DLL: the program only copies it and checks
// its signer, so its bytes are all that matters; DSHOW_VARIANT makes them differ.
#include <windows.h>

extern "C" __declspec(dllexport) const char* test_dshow_variant() { return DSHOW_VARIANT; }
