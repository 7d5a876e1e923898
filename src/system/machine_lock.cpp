#include "system/machine_lock.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "base/owners.h"
#include "log/log.h"

DWORD machine_lock_wait_ms = MACHINE_LOCK_WAIT_LIMIT_MS;

namespace {

// Anyone may create a Global mutex of this name first, and a second create
// ignores the security it passes: an existing lock counts only when its owner
// is Administrators or SYSTEM, which a standard user cannot make it.
bool owned_by_administrators(HANDLE mutex)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    unique_local descriptor_owner(descriptor);
    return owner != nullptr &&
           (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid));
}

// 1 when the wait result means the mutex is now ours; logs an abandoned one.
int taken(DWORD wait)
{
    if (wait == WAIT_ABANDONED) {
        log_line(L"the last MIRVO run that changed this machine was interrupted; going on");
        return 1;
    }
    return wait == WAIT_OBJECT_0;
}

}  // namespace

void machine_lock::release() noexcept
{
    if (mutex_ == nullptr) return;
    DWORD error = GetLastError();
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
    SetLastError(error);
    mutex_ = nullptr;
}

int acquire_machine_lock(machine_lock* lock)
{
    PSECURITY_DESCRIPTOR built = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(MACHINE_LOCK_SECURITY, SDDL_REVISION_1, &built,
                                                              nullptr)) {
        log_line(L"the machine lock cannot be had (%lu) - not changing this machine", GetLastError());
        return 0;
    }
    unique_local descriptor(built);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), built, FALSE};
    unique_handle mutex(CreateMutexW(&attributes, FALSE, MACHINE_LOCK_NAME));
    if (!mutex) {
        log_line(L"the machine lock cannot be had (%lu) - not changing this machine", GetLastError());
        return 0;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && !owned_by_administrators(mutex.get())) {
        log_line(L"the machine lock %ls is not owned by the administrators - not changing this machine",
                 MACHINE_LOCK_NAME);
        return 0;
    }
    DWORD wait = WaitForSingleObject(mutex.get(), 0);
    if (wait == WAIT_TIMEOUT) {
        log_line(L"another MIRVO run is changing this machine - waiting");
        wait = WaitForSingleObject(mutex.get(), machine_lock_wait_ms);
        if (wait == WAIT_TIMEOUT) {
            log_line(L"another MIRVO run is still changing this machine - giving up");
            return 0;
        }
    }
    if (!taken(wait)) {
        log_line(L"the machine lock cannot be had (%lu) - not changing this machine", GetLastError());
        return 0;
    }
    lock->release();
    *lock->put() = mutex.release();
    return 1;
}
