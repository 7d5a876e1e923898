// The machine lock: one run at a time changes the machine. In-process cases
// play the other run with a thread of this test (a mutex held by a thread of
// another process behaves alike); the real program is shown waiting for it.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <thread>
#include <vector>

#include "base/owners.h"
#include "log/log.h"
#include "support/quote_argument.h"
#include "support/test_support.h"
#include "system/machine_lock.h"

namespace {

const char WAITING[] = "another MIRVO run is changing this machine - waiting";
const char GIVING_UP[] = "another MIRVO run is still changing this machine - giving up";
const char INTERRUPTED[] = "the last MIRVO run that changed this machine was interrupted; going on";

class machine_lock_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        log = path(L"machine.log");
        wcscpy_s(log_path, PATH_CHARS, log.c_str());
    }
    void TearDown() override
    {
        machine_lock_wait_ms = MACHINE_LOCK_WAIT_LIMIT_MS;
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }
    std::vector<std::string> messages() { return log_messages(log); }
    std::wstring log;
};

// The lock made the way the program makes it, so that the other run's lock is
// one the program trusts.
HANDLE create_lock()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(MACHINE_LOCK_SECURITY, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return nullptr;
    }
    unique_local owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    return CreateMutexW(&attributes, FALSE, MACHINE_LOCK_NAME);
}

// Another run: a thread that takes the lock, signals, and holds it until told
// to let go (or, abandoning it, ends without letting go).
class other_run {
public:
    explicit other_run(bool abandon) : taken_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                                       finish_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        worker_ = std::thread([this, abandon] {
            HANDLE mutex = create_lock();
            WaitForSingleObject(mutex, INFINITE);
            SetEvent(taken_.get());
            WaitForSingleObject(finish_.get(), INFINITE);
            if (!abandon) ReleaseMutex(mutex);
            CloseHandle(mutex);
        });
        WaitForSingleObject(taken_.get(), 10000);
    }
    ~other_run() { finish(); }
    void finish()
    {
        SetEvent(finish_.get());
        if (worker_.joinable()) worker_.join();
    }

private:
    unique_handle taken_;
    unique_handle finish_;
    std::thread worker_;
};

// The lock this program makes first: owner Administrators, and only
// Administrators and SYSTEM may open it.
TEST_F(machine_lock_test, a_free_lock_is_taken_at_once_with_the_administrators_as_owner)
{
    machine_lock lock;
    ASSERT_EQ(acquire_machine_lock(&lock), 1);
    EXPECT_TRUE(lock.held());
    EXPECT_TRUE(messages().empty());
    unique_handle opened(OpenMutexW(READ_CONTROL, FALSE, MACHINE_LOCK_NAME));
    ASSERT_TRUE(opened);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(opened.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    unique_local owner(descriptor);
    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
    unique_local text_owner(text);
    EXPECT_EQ(std::wstring(text), MACHINE_LOCK_SECURITY);
}

TEST_F(machine_lock_test, a_held_lock_is_waited_for_once_and_given_up_after_the_limit)
{
    machine_lock_wait_ms = 300;
    other_run other(false);
    machine_lock lock;
    DWORD started = GetTickCount();
    EXPECT_EQ(acquire_machine_lock(&lock), 0);
    EXPECT_GE(GetTickCount() - started, 250u);
    EXPECT_FALSE(lock.held());
    EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, GIVING_UP}));

    // Let go while the next run waits: it takes the lock then.
    DeleteFileW(log.c_str());
    machine_lock_wait_ms = 10000;
    std::thread letting_go([&other] {
        Sleep(300);
        other.finish();
    });
    EXPECT_EQ(acquire_machine_lock(&lock), 1);
    letting_go.join();
    EXPECT_EQ(messages(), std::vector<std::string>{WAITING});
}

// A run that was killed holding the lock never blocks the next one, which
// waited for it (its handle keeps the lock in being).
TEST_F(machine_lock_test, a_lock_its_holder_never_let_go_counts_as_taken)
{
    unique_handle waiting(create_lock());
    ASSERT_TRUE(waiting);
    {
        other_run killed(true);
    }
    machine_lock lock;
    EXPECT_EQ(acquire_machine_lock(&lock), 1);
    EXPECT_EQ(messages(), std::vector<std::string>{INTERRUPTED});
}

// Anyone may make a Global mutex of the name first; one that the
// administrators do not own is never trusted, and nobody waits 10 minutes on it.
TEST_F(machine_lock_test, a_lock_made_first_by_someone_else_refuses_the_run_at_once)
{
    unique_handle squatter(CreateMutexW(nullptr, FALSE, MACHINE_LOCK_NAME));
    ASSERT_TRUE(squatter);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a lock of that name was left behind";
    machine_lock lock;
    DWORD started = GetTickCount();
    EXPECT_EQ(acquire_machine_lock(&lock), 0);
    EXPECT_LT(GetTickCount() - started, 2000u);
    EXPECT_EQ(messages(), std::vector<std::string>{"the machine lock Global\\MIRVO.MachineChange is not owned by the "
                                                   "administrators - not changing this machine"});
}

// The program itself: a camera-install started while another run holds the
// lock says so, waits, and runs once the other one is done; camera-install
// here fails at once for want of a DLL, so only the lock lines differ.
TEST_F(machine_lock_test, the_program_waits_for_another_run_and_then_does_its_job)
{
    std::wstring run_log = path(L"run.log");
    std::wstring source = path(L"empty");
    ASSERT_TRUE(CreateDirectoryW(source.c_str(), nullptr));
    const std::string missing = "camera DLL missing at " + to_utf8(source) + "\\mirvo_vcam.dll - nothing to register";
    std::wstring arguments = L"camera-install --vcam-dir " + ::quoted(source) + L" --log " + ::quoted(run_log);

    {
        other_run other(false);
        run_result r;
        std::thread run([&] { r = run_machine(arguments); });
        // Let go only once the program says it waits.
        for (int i = 0; i < 600 && read_bytes(run_log).find(WAITING) == std::string::npos; ++i) Sleep(50);
        other.finish();
        run.join();
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exit_code, 1u);
        EXPECT_EQ(log_messages(run_log), (std::vector<std::string>{WAITING, missing}));
    }
    DeleteFileW(run_log.c_str());
    run_result r = run_machine(arguments);
    EXPECT_EQ(r.exit_code, 1u);
    EXPECT_EQ(log_messages(run_log), std::vector<std::string>{missing});
}

}  // namespace
