// What the system knows of the camera DLLs it places and registers; the DLLs
// themselves are built elsewhere.
#pragma once

#include <cstddef>

// The Windows 11 virtual camera: loaded from the camera folder and asked to
// register and unregister itself.
constexpr const wchar_t* VCAM_DLL_NAME = L"mirvo_vcam.dll";
// The DirectShow filters for older Windows: the system writes their class keys
// itself (64-bit view for the first, 32-bit view for the second) and never loads them.
constexpr const wchar_t* DSHOW64_DLL_NAME = L"mirvo_dshow64.dll";
constexpr const wchar_t* DSHOW32_DLL_NAME = L"mirvo_dshow32.dll";

// The virtual camera's exports, by name: no arguments, an HRESULT result.
constexpr const char* REGISTER_SERVER_ENTRY = "DllRegisterServer";
constexpr const char* UNREGISTER_SERVER_ENTRY = "DllUnregisterServer";

// Class ids in registry form (braces, upper-case hex); each pair is walked first
// to second. The virtual camera's classes, which the DLL registers itself.
constexpr const wchar_t* vcam_class_ids[2] = {
    L"{3A91D6F0-5B27-4C8E-A1D3-6F0B2E94C7A5}",
    L"{B4E07C2D-9A16-4F53-8D2A-C71E5B3F0964}",
};
// The DirectShow filters' classes, served by both DLLs, and their friendly names
// in the same order.
constexpr const wchar_t* dshow_class_ids[2] = {
    L"{E2C5A817-40DB-4B9F-96E1-2D7A3C58F0B6}",
    L"{6D19F3B4-E82A-4705-B4C6-9A0F1E27D835}",
};
constexpr const wchar_t* dshow_friendly_names[2] = {L"MIRVO", L"MIRVO Portrait"};

// Length of a class id in registry form, without the terminator.
constexpr size_t CLASS_ID_CHARS = 38;

// True when text is a class id in registry form: the registry keys are written
// and compared in exactly this form, so a lower-case digit or a missing brace
// would name a key nobody reads.
constexpr bool is_registry_class_id(const wchar_t* text)
{
    for (size_t i = 0; i < CLASS_ID_CHARS; ++i) {
        wchar_t c = text[i];
        bool ok;
        if (i == 0) ok = c == L'{';
        else if (i == CLASS_ID_CHARS - 1) ok = c == L'}';
        else if (i == 9 || i == 14 || i == 19 || i == 24) ok = c == L'-';
        else ok = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
        if (!ok) return false;
    }
    return text[CLASS_ID_CHARS] == 0;
}

static_assert(is_registry_class_id(vcam_class_ids[0]) && is_registry_class_id(vcam_class_ids[1]));
static_assert(is_registry_class_id(dshow_class_ids[0]) && is_registry_class_id(dshow_class_ids[1]));
