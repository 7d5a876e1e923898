// One-line owners for Windows handles, keys and allocations: each closes its
// resource on every path and keeps the caller's last error across the close.
#pragma once

#include <windows.h>

template <typename Traits>
class unique_any {
public:
    using value_type = typename Traits::type;

    unique_any() noexcept = default;
    explicit unique_any(value_type value) noexcept : value_(value) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::valid(value_); }

    // For out-parameters: releases what is held, then hands out the slot.
    value_type* put() noexcept
    {
        reset();
        return &value_;
    }

    void reset(value_type value = Traits::none()) noexcept
    {
        if (Traits::valid(value_)) {
            // Closing can change the last error; the caller may still need it.
            DWORD error = GetLastError();
            Traits::close(value_);
            SetLastError(error);
        }
        value_ = value;
    }

    value_type release() noexcept
    {
        value_type value = value_;
        value_ = Traits::none();
        return value;
    }

private:
    value_type value_ = Traits::none();
};

// CreateFileW gives INVALID_HANDLE_VALUE, most other calls NULL: both mean none.
struct handle_traits {
    using type = HANDLE;
    static HANDLE none() noexcept { return nullptr; }
    static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};

struct find_traits {
    using type = HANDLE;
    static HANDLE none() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) noexcept { FindClose(h); }
};

struct key_traits {
    using type = HKEY;
    static HKEY none() noexcept { return nullptr; }
    static bool valid(HKEY k) noexcept { return k != nullptr; }
    static void close(HKEY k) noexcept { RegCloseKey(k); }
};

struct service_traits {
    using type = SC_HANDLE;
    static SC_HANDLE none() noexcept { return nullptr; }
    static bool valid(SC_HANDLE s) noexcept { return s != nullptr; }
    static void close(SC_HANDLE s) noexcept { CloseServiceHandle(s); }
};

struct local_traits {
    using type = HLOCAL;
    static HLOCAL none() noexcept { return nullptr; }
    static bool valid(HLOCAL p) noexcept { return p != nullptr; }
    static void close(HLOCAL p) noexcept { LocalFree(p); }
};

struct module_traits {
    using type = HMODULE;
    static HMODULE none() noexcept { return nullptr; }
    static bool valid(HMODULE m) noexcept { return m != nullptr; }
    static void close(HMODULE m) noexcept { FreeLibrary(m); }
};

using unique_handle = unique_any<handle_traits>;    // CloseHandle
using unique_find = unique_any<find_traits>;        // FindClose
using unique_key = unique_any<key_traits>;          // RegCloseKey
using unique_service = unique_any<service_traits>;  // CloseServiceHandle
using unique_local = unique_any<local_traits>;      // LocalFree
using unique_module = unique_any<module_traits>;    // FreeLibrary
