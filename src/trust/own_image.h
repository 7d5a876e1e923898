// The running program's own file, held and proven to be the image this process
// was started from: the anchor that camera DLLs are held to.
#pragma once

#include <windows.h>

#include <cstddef>

// What the running program's own file says about its signer.
enum class own_signer_state {
    not_signed,  // the proven file carries no signature at all: a development build
    known,       // signed, and the signer's name was read
    unreadable,  // the file could not be held or proven, or its signer cannot be read
};

// Opens the program's own file (GetModuleFileNameW) for reading, shared for
// reading only, and holds it until the process ends, so that it can be neither
// written nor renamed while this run trusts what it says; maps it read-only and
// keeps it only when Windows calls it the same file as the running image. Does
// its work once per process; later calls do nothing. Logs nothing.
void hold_own_image();

// The signer of the held own file, read once per process from the held view
// (holding it first when hold_own_image has not run): the simple display name of
// the certificate that made its first signature. With own_signer_state::known,
// *name points at that name for the rest of the process; otherwise at "".
own_signer_state own_signer(const wchar_t** name);

// The signer's simple display name read from the certificate table of a PE file
// mapped as data (view, size bytes): "" when it has no table, the table is not a
// PKCS#7 signature, or no name can be read. *has_table tells whether the file's
// security directory is present at all. destination holds capacity code units.
void signer_from_mapped_file(const unsigned char* view, size_t size, bool* has_table, wchar_t* destination,
                             size_t capacity);
