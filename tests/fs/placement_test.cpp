#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fs/placement.h"
#include "log/log.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

// A camera folder, a source file and a log in a temp folder of the test's own.
class placement_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        camera = path(L"Camera");
        ASSERT_TRUE(CreateDirectoryW(camera.c_str(), nullptr));
        source = path(L"source.dll");
        target = camera + L"\\mirvo_dshow64.dll";
        wcscpy_s(log_path, PATH_CHARS, path(L"machine.log").c_str());
    }
    void TearDown() override
    {
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }

    int place(int stop_services, int move_aside)
    {
        return place_file(source.c_str(), camera.c_str(), L"mirvo_dshow64.dll", stop_services, move_aside);
    }
    std::vector<std::string> messages() { return log_messages(log_path); }
    std::string t() const { return to_utf8(target); }

    std::wstring camera;
    std::wstring source;
    std::wstring target;
};

// Different bytes from the same seed give reproducible "DLL" contents.
std::string bytes_of(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

TEST_F(placement_test, files_identical_compares_sizes_and_every_byte)
{
    std::string big = bytes_of(65536 * 2 + 17, 'a');
    std::string last_differs = big;
    last_differs.back() ^= 1;
    std::string second_chunk_differs = big;
    second_chunk_differs[65536] ^= 1;
    const struct {
        const char* name;
        std::string first;
        std::string second;
        int identical;
    } cases[] = {
        {"two empty files", "", "", 1},
        {"the same bytes over several chunks", big, big, 1},
        {"exactly one chunk", big.substr(0, 65536), big.substr(0, 65536), 1},
        {"one byte longer", "abc", "abcd", 0},
        {"the last byte past 64 KiB", big, last_differs, 0},
        {"the first byte of the second chunk", big, second_chunk_differs, 0},
        {"an empty file and a non-empty one", "", "x", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_bytes(path(L"first"), c.first));
        ASSERT_TRUE(write_bytes(path(L"second"), c.second));
        EXPECT_EQ(files_identical(path(L"first").c_str(), path(L"second").c_str()), c.identical);
        EXPECT_EQ(files_identical(path(L"second").c_str(), path(L"first").c_str()), c.identical);
    }
    EXPECT_EQ(files_identical(path(L"first").c_str(), path(L"missing").c_str()), 0);
    EXPECT_EQ(files_identical(path(L"missing").c_str(), path(L"first").c_str()), 0);
}

TEST_F(placement_test, a_target_already_in_place_is_left_as_it_is_in_both_modes)
{
    static constexpr struct {
        const char* name;
        const char* bytes;
        int move_aside;
    } cases[] = {
        {"staged", "the camera", 0},
        {"move-aside", "the camera", 1},
        {"empty files, staged", "", 0},
        {"empty files, move-aside", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        ASSERT_TRUE(write_bytes(source, c.bytes));
        ASSERT_TRUE(write_bytes(target, c.bytes));
        // A target opened without delete sharing: any rename or copy over it would fail.
        unique_handle held(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                       nullptr));
        ASSERT_TRUE(held);

        EXPECT_EQ(place(1, c.move_aside), 1);

        EXPECT_EQ(messages(), std::vector<std::string>{t() + " is already in place"});
        EXPECT_EQ(names_in(camera), std::vector<std::string>{"mirvo_dshow64.dll"});
        EXPECT_EQ(read_bytes(target), c.bytes);
    }
}

TEST_F(placement_test, staged_placement_replaces_the_target_and_any_leftover_staging_copy)
{
    std::string payload = bytes_of(70000, 'p');
    static constexpr struct {
        const char* name;
        const char* old_target;  // null: none
        const char* leftover;    // null: none
        int move_aside;
    } cases[] = {
        {"no target yet", nullptr, nullptr, 0},
        {"a different target", "old camera", nullptr, 0},
        {"a leftover staging copy", "old camera", "half a copy", 0},
        {"move-aside without a target is staged", nullptr, "half a copy", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        DeleteFileW(target.c_str());
        ASSERT_TRUE(write_bytes(source, payload));
        if (c.old_target) {
            ASSERT_TRUE(write_bytes(target, c.old_target));
        }
        if (c.leftover) {
            ASSERT_TRUE(write_bytes(target + L".new", c.leftover));
        }

        EXPECT_EQ(place(0, c.move_aside), 1);

        EXPECT_TRUE(messages().empty());
        EXPECT_EQ(read_bytes(target), payload);
        EXPECT_EQ(names_in(camera), std::vector<std::string>{"mirvo_dshow64.dll"});
    }
}

TEST_F(placement_test, move_aside_keeps_the_old_target_under_one_tick_and_process_name)
{
    ASSERT_TRUE(write_bytes(source, "new camera"));
    ASSERT_TRUE(write_bytes(target, "old camera"));
    // A loaded DLL may be renamed but not overwritten or deleted: stand in with a
    // handle that shares everything but writing.
    unique_handle loaded(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(loaded);
    DWORD before = GetTickCount();

    EXPECT_EQ(place(0, 1), 1);

    DWORD after = GetTickCount();
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(read_bytes(target), "new camera");
    std::vector<std::string> names = names_in(camera);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "mirvo_dshow64.dll");
    const std::string& aside = names[1];
    unsigned long ticks = 0;
    unsigned long process = 0;
    char ending[8] = {};
    ASSERT_EQ(aside.size(), std::string("mirvo_dshow64.dll.0123456789abcdef.old").size()) << aside;
    ASSERT_EQ(sscanf(aside.c_str(), "mirvo_dshow64.dll.%8lx%8lx%7s", &ticks, &process, ending), 3) << aside;
    EXPECT_STREQ(ending, ".old");
    EXPECT_EQ(aside.find_first_of("ABCDEF"), std::string::npos) << aside;
    EXPECT_EQ(process, GetCurrentProcessId());
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
    EXPECT_EQ(read_bytes(camera + L"\\" + to_wide(aside)), "old camera");
}

TEST_F(placement_test, a_source_that_cannot_be_read_is_reported_with_the_name_written_to)
{
    ASSERT_TRUE(write_bytes(source, "new camera"));
    unique_handle exclusive(CreateFileW(source.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive);
    const struct {
        const char* name;
        std::wstring source;
        int move_aside;
        std::string message;
    } cases[] = {
        {"missing, staged", path(L"missing.dll"), 0, "copy to " + t() + ".new failed (2)"},
        {"held exclusively, staged", source, 0, "copy to " + t() + ".new failed (32)"},
        {"missing, move-aside", path(L"missing.dll"), 1, "copy to " + t() + " failed (2)"},
        {"held exclusively, move-aside", source, 1, "copy to " + t() + " failed (32)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        ASSERT_TRUE(write_bytes(target, "old camera"));

        EXPECT_EQ(place_file(c.source.c_str(), camera.c_str(), L"mirvo_dshow64.dll", 0, c.move_aside), 0);

        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        // Reported before anything changed: the installed file is not moved aside
        // for a payload that could never be copied.
        EXPECT_EQ(read_bytes(target), "old camera");
        EXPECT_EQ(names_in(camera), std::vector<std::string>{"mirvo_dshow64.dll"});
        remove_tree(camera);
        ASSERT_TRUE(CreateDirectoryW(camera.c_str(), nullptr));
    }
}

// A target that cannot be moved aside (its holder does not share deletion) is
// copied over; the copy shares reading and writing, so a holder that shares
// writing does not keep the update out. One that shares only reading does.
TEST_F(placement_test, a_target_that_cannot_be_moved_aside_is_copied_over_when_its_holder_shares_writing)
{
    const struct {
        const char* name;
        DWORD holder_share;
        int placed;
        std::vector<std::string> messages;
        const char* target_after;
    } cases[] = {
        {"holder shares reading and writing", FILE_SHARE_READ | FILE_SHARE_WRITE, 1,
         {t() + " could not be moved aside (32); trying to copy over it"}, "new camera"},
        {"holder shares reading only", FILE_SHARE_READ, 0,
         {t() + " could not be moved aside (32); trying to copy over it", "copy to " + t() + " failed (32)"},
         "old camera"},
    };
    ASSERT_TRUE(write_bytes(source, "new camera"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        ASSERT_TRUE(write_bytes(target, "old camera"));
        {
            unique_handle holder(
                CreateFileW(target.c_str(), GENERIC_READ, c.holder_share, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder);

            EXPECT_EQ(place(0, 1), c.placed);
        }
        EXPECT_EQ(messages(), c.messages);
        EXPECT_EQ(read_bytes(target), c.target_after);
        EXPECT_EQ(names_in(camera), std::vector<std::string>{"mirvo_dshow64.dll"});
    }
}

// Every try costs a second, so each stop flag value is tried once. Without
// services named FrameServerMonitor and FrameServer in the prefix the stop is
// quick and shows only its messages; the stop itself is shown by
// system_frame_server_tests.
TEST_F(placement_test, four_refused_renames_leave_the_old_target_and_no_staging_copy)
{
    const std::string refused = "renaming over " + t() + " refused (5)";
    std::vector<std::string> with_stop;
    for (int i = 0; i < 4; ++i) {
        with_stop.insert(with_stop.end(),
                         {refused, "stopping the Windows camera service so a loaded camera DLL is released",
                          "service FrameServerMonitor: not opened (1060)", "service FrameServer: not opened (1060)"});
    }
    const struct {
        const char* name;
        int stop_services;
        std::vector<std::string> messages;
    } cases[] = {
        {"without the stop", 0, {refused, refused, refused, refused}},
        {"with the stop", 1, with_stop},
    };
    ASSERT_TRUE(write_bytes(source, "new camera"));
    ASSERT_TRUE(write_bytes(target, "old camera"));
    // Held without delete sharing: Wine refuses the rename over it with 5, as
    // Windows does for a DLL that the Frame Server has loaded.
    unique_handle held(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
    ASSERT_TRUE(held);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        DWORD start = GetTickCount();

        EXPECT_EQ(place(c.stop_services, 0), 0);

        DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(messages(), c.messages);
        EXPECT_GE(elapsed, 4 * RENAME_RETRY_MS - 100);
        EXPECT_LT(elapsed, 4 * RENAME_RETRY_MS + 2000);
        EXPECT_EQ(read_bytes(target), "old camera");
        EXPECT_EQ(names_in(camera), std::vector<std::string>{"mirvo_dshow64.dll"});
    }
}

// Target lengths around the last that leaves room for each derived name; a
// name is never cut.
TEST_F(placement_test, derived_names_that_would_not_fit_are_never_cut)
{
    ASSERT_TRUE(write_bytes(source, "new camera"));
    const std::wstring name = L"mirvo_dshow64.dll";
    const struct {
        const char* name;
        size_t target_length;
        bool target_exists;
        int move_aside;
        int result;
        const char* message;  // after the target path; null: none
        size_t files_after;
    } cases[] = {
        {"staging name of 1023 fits", 1019, false, 0, 1, nullptr, 1},
        {"staging name of 1024 does not", 1020, false, 0, 0, " leaves no room for a staging name - not placing it", 0},
        {"aside name of 1023 fits", 1002, true, 1, 1, nullptr, 2},
        {"aside name of 1024 does not: staged instead", 1003, true, 1, 1,
         " leaves no room for an aside name; placing it through a staging copy", 1},
        {"neither fits", 1020, true, 1, 0, " leaves no room for an aside name; placing it through a staging copy",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        std::wstring base = path(L"long");
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
        std::wstring deep = make_folder_of_length(base, c.target_length - name.size() - 1);
        std::wstring long_target = deep + L"\\" + name;
        ASSERT_EQ(long_target.size(), c.target_length);
        if (c.target_exists) {
            ASSERT_TRUE(write_bytes(long_target, "old camera"));
        }

        EXPECT_EQ(place_file(source.c_str(), deep.c_str(), name.c_str(), 0, c.move_aside), c.result);

        std::vector<std::string> expected;
        if (c.message) expected.push_back(to_utf8(long_target) + c.message);
        if (c.message && c.result == 0 && c.move_aside) {
            expected.push_back(to_utf8(long_target) + " leaves no room for a staging name - not placing it");
        }
        EXPECT_EQ(messages(), expected);
        EXPECT_EQ(names_in(deep).size(), c.files_after);
        if (c.result) {
            EXPECT_EQ(read_bytes(long_target), "new camera");
        }
        if (c.target_exists && !c.result) {
            EXPECT_EQ(read_bytes(long_target), "old camera");
        }
        remove_tree(base);
    }
}

// Setup stages the payload without elevation: a payload name that is a second
// name of, or a link to, a file its owner cannot read must not bring that file
// into the camera folder, where every user can read it. A Unix symlink stands
// in for a Windows one (Wine opens it as its target).
TEST_F(placement_test, a_source_that_is_a_second_name_or_a_link_is_never_copied)
{
    const std::wstring secret = path(L"secret.dll");
    enum class kind { hard_link, file_link };
    const struct {
        const char* name;
        kind made_as;
        int move_aside;
        std::string message;
    } cases[] = {
        {"second name, staged", kind::hard_link, 0, "copy to " + t() + ".new failed (5)"},
        {"symlink, staged", kind::file_link, 0, "copy to " + t() + ".new failed (5)"},
        {"second name, move-aside", kind::hard_link, 1, "copy to " + t() + " failed (5)"},
        {"symlink, move-aside", kind::file_link, 1, "copy to " + t() + " failed (5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        ASSERT_TRUE(write_bytes(secret, "secret"));
        ASSERT_TRUE(write_bytes(target, "old camera"));
        if (c.made_as == kind::hard_link) {
            ASSERT_TRUE(CreateHardLinkW(source.c_str(), secret.c_str(), nullptr));
        } else {
            ASSERT_NO_FATAL_FAILURE(make_unix_link(secret, source));
        }

        EXPECT_EQ(place(0, c.move_aside), 0);

        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        for (const std::string& name : names_in(camera)) {
            EXPECT_NE(read_bytes(camera + L"\\" + to_wide(name)), "secret") << name;
        }
        EXPECT_EQ(read_bytes(secret), "secret");
        if (c.made_as == kind::hard_link) {
            ASSERT_TRUE(DeleteFileW(source.c_str()));  // one of two names
        } else {
            remove_unix_link(source);  // never DeleteFileW: it would delete the secret
        }
        remove_tree(camera);
        ASSERT_TRUE(CreateDirectoryW(camera.c_str(), nullptr));
    }
}

// Only the bytes are copied: a read-only payload used to give a read-only DLL,
// over which Windows refuses the next update's rename every time. Wine renames
// over a read-only file, so what shows here is the attribute, and that the
// next update lands.
TEST_F(placement_test, a_read_only_source_gives_a_copy_the_next_update_can_replace)
{
    ASSERT_TRUE(write_bytes(source, "first camera"));
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(place(0, 0), 1);
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(write_bytes(source, "second camera"));
    EXPECT_EQ(place(0, 0), 1);
    EXPECT_EQ(read_bytes(target), "second camera");
    EXPECT_TRUE(messages().empty());
}

}  // namespace
