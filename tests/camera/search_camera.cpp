// A camera DLL of the tests' own that imports search_helper's DLL by name, so
// that the loader must look for that helper when the camera DLL is loaded. Its
// DllRegisterServer answers with the mark of the helper copy that was found.
// Test only, never shipped.
#include <windows.h>

extern "C" __declspec(dllimport) HRESULT search_helper_mark();

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() { return search_helper_mark(); }
