// Moves the test prefix's Program Files (shell32 reads it from the registry) to
// show the length limits of known_folder_path and camera_folder.
#include <string>

#include "base/paths.h"
#include "base/owners.h"
#include "support/test_support.h"

namespace {

const wchar_t* const CURRENT_VERSION = L"Software\\Microsoft\\Windows\\CurrentVersion";

class moved_program_files : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CURRENT_VERSION, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()),
                  ERROR_SUCCESS);
        DWORD size = sizeof(saved);
        ASSERT_EQ(RegQueryValueExW(key.get(), L"ProgramFilesDir", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(saved), &size),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegSetValueExW(key.get(), L"ProgramFilesDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved),
                       static_cast<DWORD>((wcslen(saved) + 1) * sizeof(wchar_t)));
        temp_folder_test::TearDown();
    }
    void point_program_files_at(const std::wstring& where)
    {
        ASSERT_EQ(RegSetValueExW(key.get(), L"ProgramFilesDir", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(where.c_str()),
                                 static_cast<DWORD>((where.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    unique_key key;
    wchar_t saved[PATH_CHARS] = {};
};

// Wine's shell32 gives its default Program Files for a registered folder longer
// than MAX_PATH, so the 1021/1022 limits are shown on take_known_folder (paths
// tests) and here only what the real call does with places Wine can report.
TEST_F(moved_program_files, camera_folder_follows_program_files)
{
    wchar_t out[PATH_CHARS];
    point_program_files_at(L"C:\\");
    ASSERT_EQ(camera_folder(out), 1);
    EXPECT_STREQ(out, L"C:\\mirvo\\Camera");  // no doubled backslash

    point_program_files_at(folder);
    ASSERT_EQ(known_folder_path(FOLDERID_ProgramFiles, out), 1);
    EXPECT_EQ(std::wstring(out), folder);
    ASSERT_EQ(camera_folder(out), 1);
    EXPECT_EQ(std::wstring(out), folder + L"\\mirvo\\Camera");

    point_program_files_at(folder + L"\\missing");
    wcscpy_s(out, PATH_CHARS, L"untouched");
    EXPECT_EQ(known_folder_path(FOLDERID_ProgramFiles, out), 0);
    EXPECT_EQ(camera_folder(out), 0);
    EXPECT_STREQ(out, L"untouched");
}

}  // namespace
