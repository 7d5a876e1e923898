// run_and_wait on the tests' setup stand-in, in this test program's own process.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "audio/run_program.h"
#include "log/log.h"
#include "support/vbcable_standin.h"
#include "support/test_support.h"

namespace {

class run_and_wait_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        wcscpy_s(log_path, PATH_CHARS, path(L"run.log").c_str());
        image = path(L"VBCABLE_Setup_x64.exe");
    }
    void TearDown() override
    {
        update_proc_thread_attribute = UpdateProcThreadAttribute;
        create_process = CreateProcessW;
        log_path[0] = 0;
        // A stand-in left running past its limit still holds its image.
        for (int i = 0; i < 100 && read_standin_record(folder).found && !standin_finished(folder); ++i) Sleep(100);
        temp_folder_test::TearDown();
    }
    std::vector<std::string> logged() { return log_messages(log_path); }

    std::wstring image;
};

TEST_F(run_and_wait_test, runs_the_image_path_with_the_given_path_in_its_command_line_from_the_image_folder)
{
    // The given path is only text here: what starts is the image path.
    ASSERT_TRUE(place_standin(L"setup_unsigned.exe", image, "exit=3010\n"));
    const std::wstring given = L"D:\\as given\\VBCABLE_Setup_x64.exe";
    DWORD exit_code = 0;

    EXPECT_EQ(run_and_wait(given.c_str(), image.c_str(), L"-u -h", 60000, &exit_code), 1);

    EXPECT_EQ(exit_code, 3010u);
    standin_record record = read_standin_record(folder);
    ASSERT_TRUE(record.found);
    EXPECT_EQ(record.command_line, quoted_command_line(given, "-u -h"));
    EXPECT_EQ(record.folder, to_utf8(folder));
    EXPECT_EQ(record.image, to_utf8(image));
    // Nobody holds the file here, so the running program can be renamed: the
    // install tests show the opposite while the installer holds it.
    EXPECT_EQ(record.rename, "done");
    EXPECT_TRUE(logged().empty());
}

TEST_F(run_and_wait_test, a_program_that_outlives_the_limit_is_reported_and_left_running)
{
    ASSERT_TRUE(place_standin(L"setup_unsigned.exe", image, "sleep_ms=4000\nexit=5\n"));
    DWORD exit_code = 77;

    EXPECT_EQ(run_and_wait(image.c_str(), image.c_str(), L"-i -h", 1500, &exit_code), 0);

    EXPECT_EQ(exit_code, 77u) << "an exit code that was never read must not be written";
    EXPECT_EQ(logged(), std::vector<std::string>{to_utf8(image) + " did not finish within 1 s"});
    EXPECT_TRUE(read_standin_record(folder).found);
    EXPECT_FALSE(standin_finished(folder));
    for (int i = 0; i < 100 && !standin_finished(folder); ++i) Sleep(100);
    EXPECT_TRUE(standin_finished(folder)) << "the program was ended instead of left running";
}

// What CreateProcessW was handed, through the seam.
struct start_call {
    std::wstring application;
    std::wstring working_folder;
    DWORD flags;
    BOOL inherit;
    const void* environment;
    DWORD startup_size;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes;
};
std::vector<start_call> starts;

// Each start fails with the next of these codes in turn; 0 goes to Windows.
std::vector<DWORD> start_errors;

BOOL WINAPI recording_create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                                     LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags,
                                     LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                     LPPROCESS_INFORMATION process)
{
    start_call call = {application, folder != nullptr ? folder : L"(none)", flags, inherit, environment, startup->cb,
                       nullptr};
    if (flags & EXTENDED_STARTUPINFO_PRESENT) call.attributes = reinterpret_cast<STARTUPINFOEXW*>(startup)->lpAttributeList;
    size_t index = starts.size();
    starts.push_back(call);
    if (index < start_errors.size() && start_errors[index] != 0) {
        SetLastError(start_errors[index]);
        return FALSE;
    }
    return CreateProcessW(application, command_line, process_security, thread_security, inherit, flags, environment,
                          folder, startup, process);
}

struct attribute_call {
    DWORD_PTR attribute;
    SIZE_T size;
    DWORD64 value;
};
std::vector<attribute_call> attribute_calls;
DWORD attribute_error = 0;

BOOL WINAPI recording_update_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                       PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned)
{
    DWORD64 first_8_bytes = 0;
    if (size >= sizeof(first_8_bytes)) memcpy(&first_8_bytes, value, sizeof(first_8_bytes));
    attribute_calls.push_back({attribute, size, first_8_bytes});
    if (attribute_error != 0) {
        SetLastError(attribute_error);
        return FALSE;
    }
    return UpdateProcThreadAttribute(list, flags, attribute, value, size, previous, returned);
}

class run_and_wait_seam : public run_and_wait_test {
protected:
    void SetUp() override
    {
        run_and_wait_test::SetUp();
        starts.clear();
        start_errors.clear();
        attribute_calls.clear();
        attribute_error = 0;
        create_process = recording_create_process;
        update_proc_thread_attribute = recording_update_attribute;
    }
};

// Wine takes the policy and ignores it (the child reports none and still loads a
// DLL planted beside it), so this shows only what is handed to Windows.
TEST_F(run_and_wait_seam, loader_policy_handed_over_as_one_8_byte_value_stands_in_for_windows_loader)
{
    ASSERT_TRUE(place_standin(L"setup_unsigned.exe", image, "exit=0\n"));
    DWORD exit_code = 1;

    EXPECT_EQ(run_and_wait(image.c_str(), image.c_str(), L"-i -h", 60000, &exit_code), 1);

    ASSERT_EQ(attribute_calls.size(), 1u);
    EXPECT_EQ(attribute_calls[0].attribute, static_cast<DWORD_PTR>(PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY));
    EXPECT_EQ(attribute_calls[0].size, 8u);
    EXPECT_EQ(attribute_calls[0].value, PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON |
                                            PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_REMOTE_ALWAYS_ON);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].application, image);
    EXPECT_EQ(starts[0].working_folder, folder);
    EXPECT_EQ(starts[0].flags, static_cast<DWORD>(CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT));
    EXPECT_FALSE(starts[0].inherit);
    EXPECT_EQ(starts[0].environment, nullptr);
    EXPECT_EQ(starts[0].startup_size, sizeof(STARTUPINFOEXW));
    EXPECT_NE(starts[0].attributes, nullptr);
    EXPECT_EQ(exit_code, 0u);
    EXPECT_TRUE(logged().empty());
}

TEST_F(run_and_wait_seam, a_refused_policy_gets_one_start_without_it_and_only_then_is_reported)
{
    const std::string program = to_utf8(path(L"VBCABLE_Setup_x64.exe"));
    const struct {
        const char* name;
        DWORD attribute_error;
        std::vector<DWORD> start_errors;
        int result;
        size_t starts;
        std::vector<std::string> messages;
    } cases[] = {
        {"refused at the start (87)", 0, {87}, 1, 2, {program + " started without the DLL search hardening (87)"}},
        {"not supported at the start (50)", 0, {50}, 1, 2, {program + " started without the DLL search hardening (50)"}},
        {"refused when the attribute is set", 87, {}, 1, 1,
         {program + " started without the DLL search hardening (87)"}},
        // The first error is not worth a line when nothing started at all.
        {"retry fails too", 0, {87, 2}, 0, 2, {program + " could not be started (2)"}},
        {"another error is not about the policy", 0, {5}, 0, 1, {program + " could not be started (5)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        ASSERT_TRUE(place_standin(L"setup_unsigned.exe", image, "exit=4\n"));
        starts.clear();
        start_errors = c.start_errors;
        attribute_error = c.attribute_error;
        DWORD exit_code = 0;

        EXPECT_EQ(run_and_wait(image.c_str(), image.c_str(), L"-i -h", 60000, &exit_code), c.result);

        ASSERT_EQ(starts.size(), c.starts);
        const start_call& last = starts.back();
        bool retried = c.starts == 2 || c.attribute_error != 0;
        if (retried) {
            EXPECT_EQ(last.flags, static_cast<DWORD>(CREATE_NO_WINDOW));
            EXPECT_EQ(last.startup_size, sizeof(STARTUPINFOW));
            EXPECT_EQ(last.application, image);
            EXPECT_EQ(last.working_folder, folder);
        }
        EXPECT_EQ(exit_code, c.result ? 4u : 0u);
        EXPECT_EQ(read_standin_record(folder).found, c.result == 1);
        EXPECT_EQ(logged(), c.messages);
    }
}

TEST_F(run_and_wait_seam, a_path_with_slashes_and_no_backslash_is_the_working_folder_unchanged)
{
    // Only a backslash ends the folder: the whole path is passed as the working
    // folder, which is a file, so the start fails.
    ASSERT_TRUE(place_standin(L"setup_unsigned.exe", image, "exit=0\n"));
    std::wstring slashed = image;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    DWORD exit_code = 0;

    EXPECT_EQ(run_and_wait(slashed.c_str(), slashed.c_str(), L"-i -h", 60000, &exit_code), 0);

    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0].working_folder, slashed);
    EXPECT_FALSE(read_standin_record(folder).found);
    std::vector<std::string> messages = logged();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], to_utf8(slashed) + " could not be started (267)");
}

}  // namespace
