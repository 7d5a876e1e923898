// Case-insensitive comparison the way the program needs it everywhere (image
// names, paths, signer names): only the letters A to Z fold, so nothing matches
// through a locale's idea of case.
#pragma once

#include <cstddef>

inline wchar_t fold_ascii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// The first count characters of a and b are equal apart from A-Z case; a
// terminator reached in both at the same place ends the comparison as equal.
inline bool equal_ignoring_ascii_case(const wchar_t* a, const wchar_t* b, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
        if (a[i] == 0) return true;
    }
    return true;
}

// a and b are the same text apart from A-Z case.
inline bool same_ignoring_ascii_case(const wchar_t* a, const wchar_t* b)
{
    for (; *a != 0 && *b != 0; ++a, ++b) {
        if (fold_ascii(*a) != fold_ascii(*b)) return false;
    }
    return *a == *b;
}
