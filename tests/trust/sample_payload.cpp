// A small PE for the test PKI to sign: stands for a camera DLL or for VB-CABLE's
// setup program, which the trust checks only read, never run.
#include <windows.h>

extern "C" __declspec(dllexport) int trust_sample_payload() { return 1; }
