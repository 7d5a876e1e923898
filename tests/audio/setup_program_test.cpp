// The path a checked setup program is started from, made from the final path
// Windows gives for the held file.
#include <algorithm>
#include <string>

#include "audio/vbcable.h"
#include "base/paths.h"
#include "support/test_support.h"

namespace {

// Wine gives only drive paths; the share and volume forms are Windows' own,
// and so is a drive that GetDriveTypeW calls remote.
TEST(image_path_from_final_path, drive_and_share_paths_are_taken_every_other_form_is_refused)
{
    const std::wstring long_tail(1020, L'x');   // "C:\" + 1020 = 1023 characters
    const std::wstring share_tail(1019, L'x');  // "\\s\" + 1019 = 1023 characters
    const struct {
        const char* name;
        std::wstring final_path;
        bool taken;
        std::wstring image_path;
        bool local;  // the started path is on a local disk (Wine's C: and Z: are)
    } cases[] = {
        {"drive", L"\\\\?\\C:\\Program Files\\mirvo\\setup.exe", true, L"C:\\Program Files\\mirvo\\setup.exe", true},
        {"lower-case drive", L"\\\\?\\z:\\tmp\\setup.exe", true, L"z:\\tmp\\setup.exe", true},
        {"share", L"\\\\?\\UNC\\server\\share\\setup.exe", true, L"\\\\server\\share\\setup.exe", false},
        {"longest drive path", L"\\\\?\\C:\\" + long_tail, true, L"C:\\" + long_tail, true},
        {"drive path one too long", L"\\\\?\\C:\\" + long_tail + L"x", false, L"", false},
        {"longest share path", L"\\\\?\\UNC\\s\\" + share_tail, true, L"\\\\s\\" + share_tail, false},
        {"share path one too long", L"\\\\?\\UNC\\s\\" + share_tail + L"x", false, L"", false},
        {"volume", L"\\\\?\\Volume{0b1f3c0e-1111-2222-3333-444455556666}\\setup.exe", false, L"", false},
        {"device", L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\setup.exe", false, L"", false},
        {"share without a server", L"\\\\?\\UNC\\", false, L"", false},
        {"drive-relative", L"\\\\?\\C:setup.exe", false, L"", false},
        {"a drive this machine does not have", L"\\\\?\\Q:\\setup.exe", true, L"Q:\\setup.exe", false},
        {"no prefix", L"C:\\setup.exe", false, L"", false},
        {"empty", L"", false, L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t image_path[PATH_CHARS];
        wmemset(image_path, L'#', PATH_CHARS);
        EXPECT_EQ(image_path_from_final_path(c.final_path.c_str(), image_path) != 0, c.taken);
        EXPECT_EQ(std::wstring(image_path), c.image_path);
        // A share's server can hand the process start other bytes than it gave
        // the check: only a local disk is run from.
        if (c.taken) EXPECT_EQ(image_on_local_disk(image_path) != 0, c.local);
    }
}

class open_vbcable_setup_test : public temp_folder_test {};

TEST_F(open_vbcable_setup_test, gives_the_final_path_of_the_file_it_holds_shut_against_writers)
{
    std::wstring setup = path(L"VBCABLE_Setup_x64.exe");
    ASSERT_TRUE(write_bytes(setup, "MZ"));
    std::wstring slashed = setup;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    const struct {
        const char* name;
        std::wstring given;
    } cases[] = {
        {"relative", L"VBCABLE_Setup_x64.exe"},
        {"slashes and no backslash", slashed},
        {"another letter case", path(L"vbcable_setup_X64.EXE")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unique_handle file;
        wchar_t image_path[PATH_CHARS];
        ASSERT_TRUE(open_vbcable_setup(c.given.c_str(), file, image_path));
        EXPECT_EQ(std::wstring(image_path), setup);
        unique_handle writer(CreateFileW(setup.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_FALSE(writer);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    SetCurrentDirectoryW(previous);

    unique_handle file;
    wchar_t image_path[PATH_CHARS];
    EXPECT_FALSE(open_vbcable_setup(path(L"missing.exe").c_str(), file, image_path));
    EXPECT_FALSE(file);
    EXPECT_STREQ(image_path, L"");
}

}  // namespace
