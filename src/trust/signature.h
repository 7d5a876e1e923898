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

// Nonzero when the DLL at dll_path may be registered: the running program's file
// carries no signature at all (an empty certificate table; then the DLL is not
// examined), or the DLL carries a valid signature whose signer name equals the
// program's own, A to Z compared without case. A program that is signed but
// whose signer name cannot be read refuses every DLL. Logs why it refuses;
// refuses silently when the program's own path is unknown.
int check_same_signer(const wchar_t* dll_path);

// Nonzero when the VB-CABLE setup program, read through the open handle file
// and its final path image_path, carries a valid signature by a signer whose
// name holds one of the two VBCABLE_SIGNER forms (A to Z compared without case).
// Logs why it refuses, naming the program by path, the path it was given as.
int check_vbcable_signer(const wchar_t* path, const wchar_t* image_path, HANDLE file);
