#include <string>

#include "base/paths.h"
#include "support/test_support.h"

namespace {

TEST(join_path, joins_with_one_backslash_only_where_needed)
{
    static constexpr struct {
        const wchar_t* folder;
        const wchar_t* name;
        const wchar_t* joined;
    } cases[] = {
        {L"D:\\a", L"b", L"D:\\a\\b"},
        {L"D:\\a\\", L"b", L"D:\\a\\b"},
        {L"D:/a/", L"b", L"D:/a/b"},
        {L"", L"b", L"b"},
        {L"D:\\", L"mirvo\\Camera", L"D:\\mirvo\\Camera"},
        {L"D:\\a", L"audio-driver\\VBCABLE_Setup_x64.exe", L"D:\\a\\audio-driver\\VBCABLE_Setup_x64.exe"},
    };
    for (const auto& c : cases) {
        wchar_t out[PATH_CHARS];
        EXPECT_EQ(join_path(out, c.folder, c.name), 1) << to_utf8(c.folder);
        EXPECT_STREQ(out, c.joined);
    }
}

TEST(join_path, fits_up_to_1021_characters_of_input_whatever_the_folder_ends_with)
{
    static constexpr struct {
        const char* name;
        size_t folder_length;
        size_t name_length;
        bool trailing_backslash;
        int ok;
        size_t result_length;
    } cases[] = {
        {"1021 with a backslash added", 1000, 21, false, 1, 1022},
        {"1021 ending in a backslash", 1000, 21, true, 1, 1021},
        {"1022 fails", 1001, 21, false, 0, 0},
        {"1022 fails even when no separator is needed", 1001, 21, true, 0, 0},
        {"a very long name alone", 0, 1022, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring folder(c.folder_length, L'f');
        if (c.trailing_backslash) folder.back() = L'\\';
        std::wstring name(c.name_length, L'n');
        wchar_t out[PATH_CHARS];
        out[0] = L'X';
        EXPECT_EQ(join_path(out, folder.c_str(), name.c_str()), c.ok);
        EXPECT_EQ(wcslen(out), c.result_length);
    }
}

TEST(paths, separators_and_parent_folder)
{
    EXPECT_TRUE(ends_with_separator(L"a\\"));
    EXPECT_TRUE(ends_with_separator(L"a/"));
    EXPECT_FALSE(ends_with_separator(L"a"));
    EXPECT_FALSE(ends_with_separator(L""));

    static constexpr struct {
        const wchar_t* path;
        const wchar_t* parent;
    } cases[] = {
        {L"D:\\Programs\\mirvo\\Camera", L"D:\\Programs\\mirvo"},
        {L"D:/x/y", L"D:/x/y"},
        {L"mirvo", L"mirvo"},
        {L"D:\\mirvo", L"D:"},
        {L"a/b\\c/d", L"a/b"},
    };
    for (const auto& c : cases) {
        wchar_t buffer[PATH_CHARS];
        wcscpy_s(buffer, PATH_CHARS, c.path);
        parent_folder(buffer);
        EXPECT_STREQ(buffer, c.parent) << to_utf8(c.path);
    }
}

TEST(paths, known_folder_text_is_taken_up_to_1021_characters)
{
    wchar_t out[PATH_CHARS];
    std::wstring fits(1021, L'k');
    ASSERT_EQ(take_known_folder(fits.c_str(), out), 1);
    EXPECT_EQ(std::wstring(out), fits);

    wcscpy_s(out, PATH_CHARS, L"untouched");
    std::wstring too_long(1022, L'k');
    EXPECT_EQ(take_known_folder(too_long.c_str(), out), 0);
    EXPECT_EQ(take_known_folder(nullptr, out), 0);
    EXPECT_STREQ(out, L"untouched");
}

TEST(paths, camera_folder_is_under_program_files)
{
    wchar_t program_files[PATH_CHARS];
    ASSERT_EQ(known_folder_path(FOLDERID_ProgramFiles, program_files), 1);
    EXPECT_STREQ(program_files, L"C:\\Program Files");
    wchar_t camera[PATH_CHARS];
    ASSERT_EQ(camera_folder(camera), 1);
    EXPECT_STREQ(camera, L"C:\\Program Files\\mirvo\\Camera");
}

}  // namespace
