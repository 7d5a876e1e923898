// One machine-wide lock for the runs that change the machine: two of them at
// once (the installer and the app, two installers) would mix two versions of
// the camera in one folder and its class keys.
#pragma once

#include <windows.h>

// A mutex in the Global namespace, so that runs in every logon session meet.
constexpr const wchar_t* MACHINE_LOCK_NAME = L"Global\\MIRVO.MachineChange";
// Owner Administrators, and only Administrators and SYSTEM may open it: a
// standard user can neither hold it nor make a first one of that name that
// this program would trust.
constexpr const wchar_t* MACHINE_LOCK_SECURITY = L"O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)";
// Longest wait for another run: 10 minutes.
constexpr DWORD MACHINE_LOCK_WAIT_LIMIT_MS = 600000;

// The wait limit in use: MACHINE_LOCK_WAIT_LIMIT_MS, changed only by a test
// that must not wait 10 minutes.
extern DWORD machine_lock_wait_ms;

// The held lock: released (and closed) when it goes, on every path.
class machine_lock {
public:
    machine_lock() noexcept = default;
    ~machine_lock() { release(); }
    machine_lock(const machine_lock&) = delete;
    machine_lock& operator=(const machine_lock&) = delete;
    void release() noexcept;
    HANDLE* put() noexcept { return &mutex_; }
    bool held() const noexcept { return mutex_ != nullptr; }

private:
    HANDLE mutex_ = nullptr;
};

// Takes the machine lock into lock. Returns 1 once it is held: at once, or
// after waiting for another run ("another MIRVO run is changing this machine -
// waiting", once), also when the run that held it ended without letting it go
// ("the last MIRVO run that changed this machine was interrupted; going on").
// Returns 0 after machine_lock_wait_ms ("another MIRVO run is still changing
// this machine - giving up"), and at once when a mutex of that name exists
// whose owner is neither Administrators nor SYSTEM, or when it cannot be
// created, opened or waited for (each with its own line).
int acquire_machine_lock(machine_lock* lock);
