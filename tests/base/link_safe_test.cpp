#include <string>
#include <vector>

#include "base/link_safe.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

// What stands at inside\f.txt before a case runs. "secret" is a file outside
// the folder that no open of inside\f.txt may read, write or delete.
enum class setup { plain, missing, folder, hard_link, file_link, dangling_link, other_case };

const char* name_of(setup s)
{
    switch (s) {
    case setup::plain: return "plain file";
    case setup::missing: return "missing";
    case setup::folder: return "folder";
    case setup::hard_link: return "second name of the secret";
    case setup::file_link: return "symlink to the secret";
    case setup::dangling_link: return "dangling symlink";
    case setup::other_case: return "name on disk in another case";
    }
    return "?";
}

class link_safe_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        inside = path(L"inside");
        secret = path(L"secret.txt");
        file = inside + L"\\f.txt";
    }
    void TearDown() override
    {
        // Never through Windows: DeleteFileW on a file link deletes the secret.
        remove_links();
        temp_folder_test::TearDown();
    }

    void prepare(setup s)
    {
        remove_links();
        remove_tree(inside);
        ASSERT_TRUE(CreateDirectoryW(inside.c_str(), nullptr));
        ASSERT_TRUE(write_bytes(secret, "secret"));
        switch (s) {
        case setup::plain:
            ASSERT_TRUE(write_bytes(file, "plain"));
            break;
        case setup::missing:
            break;
        case setup::folder:
            ASSERT_TRUE(CreateDirectoryW(file.c_str(), nullptr));
            break;
        case setup::hard_link:
            ASSERT_TRUE(CreateHardLinkW(file.c_str(), secret.c_str(), nullptr)) << GetLastError();
            break;
        case setup::file_link:
            ASSERT_NO_FATAL_FAILURE(make_unix_link(secret, file));
            ASSERT_EQ(read_bytes(file), "secret");  // Wine opens the link as its target
            links.push_back(file);
            break;
        case setup::dangling_link: {
            std::wstring gone = path(L"gone.txt");
            ASSERT_TRUE(write_bytes(gone, "x"));
            ASSERT_NO_FATAL_FAILURE(make_unix_link(gone, file));
            links.push_back(file);
            ASSERT_TRUE(DeleteFileW(gone.c_str()));  // the target by its own name
            break;
        }
        case setup::other_case:
            ASSERT_TRUE(write_bytes(inside + L"\\F.TXT", "plain"));
            break;
        }
    }

    void remove_links()
    {
        for (const std::wstring& link : links) remove_unix_link(link);
        links.clear();
    }

    std::wstring inside;
    std::wstring secret;
    std::wstring file;
    std::vector<std::wstring> links;
};

// Writes through handle and closes it; returns what the file then holds.
std::string write_and_read(HANDLE handle, const std::wstring& path)
{
    unique_handle owned(handle);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(owned.get(), "new", 3, &written, nullptr)) << GetLastError();
    owned.reset();
    return read_bytes(path);
}

// Each use against each kind of name. The secret must come through every case
// with its bytes and its name; what the name holds afterwards is checked by
// reading it (for the links: what Wine reads through them is the secret).
TEST_F(link_safe_test, every_use_opens_only_the_one_name_of_a_plain_file_in_the_folder)
{
    static constexpr struct {
        contained_open how;
        DWORD access;
        setup before;
        DWORD error;        // 0: opened
        const char* after;  // bytes at the name afterwards; null: nothing there
    } cases[] = {
        // Reading an existing file.
        {contained_open::existing, GENERIC_READ, setup::plain, 0, "plain"},
        {contained_open::existing, GENERIC_READ, setup::missing, ERROR_FILE_NOT_FOUND, nullptr},
        {contained_open::existing, GENERIC_READ, setup::folder, ERROR_ACCESS_DENIED, nullptr},
        {contained_open::existing, GENERIC_READ, setup::hard_link, ERROR_ACCESS_DENIED, "secret"},
        {contained_open::existing, GENERIC_READ, setup::file_link, ERROR_ACCESS_DENIED, "secret"},
        {contained_open::existing, GENERIC_READ, setup::dangling_link, ERROR_FILE_NOT_FOUND, nullptr},
        {contained_open::existing, GENERIC_READ, setup::other_case, 0, "plain"},
        // Creating: the name must be free.
        {contained_open::create_new, GENERIC_WRITE, setup::plain, ERROR_ALREADY_EXISTS, "plain"},
        {contained_open::create_new, GENERIC_WRITE, setup::missing, 0, "new"},
        {contained_open::create_new, GENERIC_WRITE, setup::hard_link, ERROR_ALREADY_EXISTS, "secret"},
        {contained_open::create_new, GENERIC_WRITE, setup::file_link, ERROR_ALREADY_EXISTS, "secret"},
        {contained_open::create_new, GENERIC_WRITE, setup::dangling_link, ERROR_ALREADY_EXISTS, nullptr},
        // Appending, creating when missing: the log's use.
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::plain, 0, "plainnew"},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::missing, 0, "new"},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::folder, ERROR_ACCESS_DENIED, nullptr},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::hard_link, ERROR_ACCESS_DENIED, "secret"},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::file_link, ERROR_ACCESS_DENIED, "secret"},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::dangling_link, ERROR_FILE_NOT_FOUND, nullptr},
        {contained_open::existing_or_new, FILE_APPEND_DATA, setup::other_case, 0, "plainnew"},
        // Replacing: the old name goes through its own handle, a new file takes it.
        {contained_open::replace, GENERIC_WRITE, setup::plain, 0, "new"},
        {contained_open::replace, GENERIC_WRITE, setup::missing, 0, "new"},
        {contained_open::replace, GENERIC_WRITE, setup::folder, ERROR_ACCESS_DENIED, nullptr},
        {contained_open::replace, GENERIC_WRITE, setup::hard_link, 0, "new"},
        {contained_open::replace, GENERIC_WRITE, setup::file_link, ERROR_ACCESS_DENIED, "secret"},
        {contained_open::replace, GENERIC_WRITE, setup::dangling_link, ERROR_ALREADY_EXISTS, nullptr},
        {contained_open::replace, GENERIC_WRITE, setup::other_case, 0, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("use ") + std::to_string(static_cast<int>(c.how)) + ", " + name_of(c.before));
        ASSERT_NO_FATAL_FAILURE(prepare(c.before));

        HANDLE handle = open_contained_file(file.c_str(), c.access, FILE_SHARE_READ, c.how);
        DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;

        EXPECT_EQ(error, c.error);
        if (handle != INVALID_HANDLE_VALUE) {
            if (c.access == GENERIC_READ) {
                CloseHandle(handle);
            } else {
                write_and_read(handle, file);
            }
        }
        if (c.after) {
            EXPECT_EQ(read_bytes(file), c.after);
        } else if (c.before != setup::folder) {
            EXPECT_FALSE(path_exists(file));
        }
        EXPECT_EQ(read_bytes(secret), "secret");
        BY_HANDLE_FILE_INFORMATION info = {};
        unique_handle secret_file(CreateFileW(secret.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(GetFileInformationByHandle(secret_file.get(), &info));
        // A replaced second name leaves the secret with its one name.
        EXPECT_EQ(info.nNumberOfLinks, c.before == setup::hard_link && c.error != 0 ? 2u : 1u);
    }
}

TEST_F(link_safe_test, a_name_is_deleted_only_through_a_handle_that_is_the_name_itself)
{
    static constexpr struct {
        setup before;
        DWORD error;  // 0: the name was opened and deleted
        bool gone;
    } cases[] = {
        {setup::plain, 0, true},
        {setup::missing, ERROR_FILE_NOT_FOUND, true},
        {setup::folder, ERROR_ACCESS_DENIED, false},
        {setup::hard_link, 0, true},
        {setup::file_link, ERROR_ACCESS_DENIED, false},  // Wine opens it as the secret: it stays
        {setup::other_case, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(name_of(c.before));
        ASSERT_NO_FATAL_FAILURE(prepare(c.before));

        HANDLE handle = open_contained_file(file.c_str(), 0, FILE_SHARE_READ, contained_open::name_to_delete);
        DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        EXPECT_EQ(error, c.error);
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(delete_by_handle(handle), 1) << GetLastError();
            CloseHandle(handle);
        }

        EXPECT_EQ(path_exists(file), !c.gone);
        EXPECT_EQ(read_bytes(secret), "secret");
    }

    // delete_contained_file: the same, and a missing name is no failure.
    ASSERT_NO_FATAL_FAILURE(prepare(setup::missing));
    EXPECT_EQ(delete_contained_file(file.c_str()), 1);
    EXPECT_EQ(delete_contained_file((path(L"no-folder") + L"\\f.txt").c_str()), 1);
    ASSERT_NO_FATAL_FAILURE(prepare(setup::plain));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(delete_contained_file(file.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(delete_contained_file(file.c_str()), 1);
    EXPECT_FALSE(path_exists(file));
}

// The folder part of a path: none (the current folder), a slash, a folder that
// is missing, a name with nothing after the last separator.
TEST_F(link_safe_test, a_path_is_split_at_its_last_backslash_or_slash)
{
    ASSERT_NO_FATAL_FAILURE(prepare(setup::plain));
    wchar_t previous[MAX_PATH + 1];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH + 1, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(inside.c_str()));
    HANDLE bare = open_contained_file(L"f.txt", GENERIC_READ, FILE_SHARE_READ, contained_open::existing);
    SetCurrentDirectoryW(previous);
    EXPECT_NE(bare, INVALID_HANDLE_VALUE) << GetLastError();
    if (bare != INVALID_HANDLE_VALUE) CloseHandle(bare);

    std::wstring slashed = folder + L"/inside/f.txt";
    HANDLE with_slash = open_contained_file(slashed.c_str(), GENERIC_READ, FILE_SHARE_READ, contained_open::existing);
    EXPECT_NE(with_slash, INVALID_HANDLE_VALUE) << GetLastError();
    if (with_slash != INVALID_HANDLE_VALUE) CloseHandle(with_slash);

    static constexpr struct {
        const wchar_t* tail;
        DWORD error;
    } failing[] = {
        {L"\\missing\\f.txt", ERROR_PATH_NOT_FOUND},
        {L"\\inside\\f.txt\\g.txt", ERROR_PATH_NOT_FOUND},
        {L"\\inside\\", ERROR_INVALID_NAME},
    };
    for (const auto& c : failing) {
        SCOPED_TRACE(to_utf8(c.tail));
        std::wstring failing_path = folder + c.tail;
        EXPECT_EQ(open_contained_file(failing_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                      contained_open::existing_or_new),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_FALSE(path_exists(path(L"missing")));
}

// Entries opened relative to their folder, as the tree walk and the cleanup of
// ProgramData open them: Wine opens a link as what it points at, and only the
// final path shows it.
TEST_F(link_safe_test, open_entry_tells_links_from_plain_entries)
{
    std::wstring outside = path(L"outside");
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(inside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((inside + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(inside + L"\\plain.dll", "x"));
    ASSERT_TRUE(write_bytes(secret, "secret"));
    ASSERT_TRUE(CreateHardLinkW((inside + L"\\second.dll").c_str(), secret.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(make_unix_link(outside, inside + L"\\folder-link"));
    links.push_back(inside + L"\\folder-link");
    ASSERT_NO_FATAL_FAILURE(make_unix_link(secret, inside + L"\\file-link"));
    links.push_back(inside + L"\\file-link");

    static constexpr struct {
        const wchar_t* name;
        entry_use use;
        DWORD error;
        entry_kind kind;
        DWORD links;
    } cases[] = {
        {L"sub", entry_use::folder, 0, entry_kind::plain, 1},
        {L"SUB", entry_use::folder, 0, entry_kind::plain, 1},
        {L"plain.dll", entry_use::file, 0, entry_kind::plain, 1},
        {L"second.dll", entry_use::file, 0, entry_kind::plain, 2},
        {L"folder-link", entry_use::folder, 0, entry_kind::link_target, 1},
        {L"folder-link", entry_use::any_link, 0, entry_kind::link_target, 1},
        {L"file-link", entry_use::file, 0, entry_kind::link_target, 2},  // the secret's, with second.dll,
        {L"plain.dll", entry_use::folder, ERROR_DIRECTORY, entry_kind::plain, 0},
        {L"sub", entry_use::file, ERROR_ACCESS_DENIED, entry_kind::plain, 0},
        {L"missing", entry_use::any_link, ERROR_FILE_NOT_FOUND, entry_kind::plain, 0},
        {L"..\\secret.txt", entry_use::file, ERROR_INVALID_NAME, entry_kind::plain, 0},
    };
    unique_handle parent(open_folder(inside.c_str(), 0));
    ASSERT_TRUE(parent) << GetLastError();
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.name));
        entry_facts facts = {};
        unique_handle entry(open_entry(parent.get(), c.name, c.use, &facts));
        if (c.error != 0) {
            EXPECT_FALSE(entry);
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        ASSERT_TRUE(entry) << GetLastError();
        EXPECT_EQ(facts.kind, c.kind);
        EXPECT_EQ(facts.links, c.links);
    }

    // A link that opens as what it points at is never removed through that handle.
    EXPECT_EQ(remove_link(parent.get(), L"folder-link"), 0);
    EXPECT_EQ(remove_link(parent.get(), L"file-link"), 0);
    EXPECT_EQ(read_bytes(secret), "secret");
    EXPECT_TRUE(path_exists(outside));
}

}  // namespace
