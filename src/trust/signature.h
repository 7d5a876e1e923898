// Who signed a file, and whether Windows accepts that signature: the checks a
// camera DLL and VB-CABLE's setup program must pass before they are trusted.
#pragma once

#include <windows.h>

#include <cstddef>

// Code units in a signer-name buffer, terminator included: a name holds at most 255.
constexpr size_t SIGNER_CHARS = 256;

// VB-Audio's signer: the person's name, surname first or given name first. Each
// is 13 characters long.
constexpr const wchar_t* VBCABLE_SIGNER_SURNAME_FIRST = L"QUARN ELIDORE";
constexpr const wchar_t* VBCABLE_SIGNER_GIVEN_NAME_FIRST = L"Elidore Quarn";

// Nonzero when Windows accepts the Authenticode signature of the file at path.
// When file is an open handle (neither null nor INVALID_HANDLE_VALUE) Windows
// reads the file through it. Revocation is not examined and nothing is fetched
// over the network. Logs nothing.
int verify_signature(const wchar_t* path, HANDLE file);

// Fills destination (capacity code units) with the simple display name of the
// certificate that made the first embedded signature of the file at path, cut
// to capacity - 1; empty when there is none or it cannot be read. Does not judge
// whether the signature is valid. Logs nothing.
void signer_name(const wchar_t* path, wchar_t* destination, size_t capacity);

// The signer's simple display name of PKCS#7 signed data given as bytes (a
// certificate table's content after its 8-byte header), cut to capacity - 1;
// empty when none can be read. Logs nothing.
void signer_name_from_pkcs7(const unsigned char* bytes, unsigned long size, wchar_t* destination, size_t capacity);

// Verifies the Authenticode signature of the file read through the open handle
// file (path only names it to Windows; no handle, no verification) and fills
// signer with the name of the signer of that verified signature, from the same
// verification. Nonzero when Windows accepts the signature; signer is then the
// name, possibly empty. Logs nothing.
int verified_signer(const wchar_t* path, HANDLE file, wchar_t* signer, size_t capacity);

// How a camera DLL, read through an open handle, stands against the running
// program's own signer (own_image.h).
enum class signer_verdict {
    accepted,               // same signer, A to Z compared without case; or the program is not signed
    own_signer_unreadable,  // the program is signed, but its signer cannot be read
    not_valid,              // the DLL's signature does not verify (or there is no handle)
    other_signer,           // a valid signature by someone else
};

// The verdict for the DLL held open as dll (dll_path names it); dll_signer (a
// signer-name buffer) gets the DLL's signer when it was read. Logs nothing.
signer_verdict same_signer_verdict(const wchar_t* dll_path, HANDLE dll, wchar_t* dll_signer);

// Nonzero when the camera DLL held open as dll may be placed and registered
// (same_signer_verdict accepted). Logs why it refuses, naming dll_path: the
// payload that was checked.
int check_same_signer(const wchar_t* dll_path, HANDLE dll);

// Nonzero when the VB-CABLE setup program, read through the open handle file
// and its final path image_path, carries a valid signature by a signer whose
// name holds one of the two VBCABLE_SIGNER forms (A to Z compared without case).
// Logs why it refuses, naming the program by path, the path it was given as.
int check_vbcable_signer(const wchar_t* path, const wchar_t* image_path, HANDLE file);
