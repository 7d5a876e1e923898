#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fs/folders.h"
#include "log/log.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

class folders_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        wcscpy_s(log_path, PATH_CHARS, path(L"machine.log").c_str());
    }
    void TearDown() override
    {
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }
    std::vector<std::string> messages() { return log_messages(log_path); }
};

// The name of the entry at path in its case on disk; empty when there is none.
std::wstring name_on_disk(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW(path.c_str(), &data));
    return find ? data.cFileName : L"";
}

TEST_F(folders_test, a_folder_named_in_another_case_gets_the_wanted_name)
{
    for (const wchar_t* on_disk : {L"Mirvo", L"MIRVO"}) {
        SCOPED_TRACE(to_utf8(on_disk));
        DeleteFileW(log_path);
        ASSERT_TRUE(CreateDirectoryW(path(on_disk).c_str(), nullptr));
        ASSERT_TRUE(write_bytes(path(on_disk) + L"\\kept.txt", "content"));

        fix_folder_case(path(L"mirvo").c_str());

        EXPECT_EQ(messages(), std::vector<std::string>{to_utf8(path(on_disk)) + " is now " + to_utf8(path(L"mirvo"))});
        EXPECT_EQ(name_on_disk(path(L"mirvo")), L"mirvo");
        EXPECT_EQ(read_bytes(path(L"mirvo") + L"\\kept.txt"), "content");
        EXPECT_FALSE(path_exists(path(L"mirvo.renaming")));
        remove_tree(path(L"mirvo"));
    }
}

TEST_F(folders_test, a_folder_already_so_named_or_missing_is_left_alone_in_silence)
{
    ASSERT_TRUE(CreateDirectoryW(path(L"mirvo").c_str(), nullptr));
    fix_folder_case(path(L"mirvo").c_str());
    EXPECT_EQ(name_on_disk(path(L"mirvo")), L"mirvo");

    fix_folder_case(path(L"absent").c_str());
    fix_folder_case(L"no-backslash");
    EXPECT_FALSE(path_exists(log_path));
}

TEST_F(folders_test, a_refused_first_rename_keeps_the_name_on_disk)
{
    // Wine renames a folder even with a file in it open, so the temporary name
    // is taken instead to make the first rename fail.
    ASSERT_TRUE(CreateDirectoryW(path(L"Mirvo").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(path(L"mirvo.renaming").c_str(), nullptr));

    fix_folder_case(path(L"mirvo").c_str());

    EXPECT_EQ(messages(), std::vector<std::string>{to_utf8(path(L"Mirvo")) + " keeps its name (in use, 183)"});
    EXPECT_EQ(name_on_disk(path(L"mirvo")), L"Mirvo");
}

TEST_F(folders_test, delete_tree_removes_read_only_hidden_and_system_files_at_every_level)
{
    std::wstring tree = path(L"Camera");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\a\\b").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\empty").c_str(), nullptr));
    const struct {
        const wchar_t* name;
        DWORD attributes;
    } files[] = {
        {L"\\mirvo_vcam.dll", FILE_ATTRIBUTE_READONLY},
        {L"\\a\\hidden.dll", FILE_ATTRIBUTE_HIDDEN},
        {L"\\a\\b\\system.dll", FILE_ATTRIBUTE_SYSTEM},
        {L"\\a\\b\\all.dll", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
    };
    for (const auto& f : files) {
        ASSERT_TRUE(write_bytes(tree + f.name, "x"));
        ASSERT_TRUE(SetFileAttributesW((tree + f.name).c_str(), f.attributes));
    }
    ASSERT_FALSE(DeleteFileW((tree + L"\\mirvo_vcam.dll").c_str()));  // read-only really protects

    delete_tree(tree.c_str());

    EXPECT_FALSE(path_exists(tree));
    delete_tree(tree.c_str());  // deleting what is not there is no error
    EXPECT_FALSE(path_exists(log_path));
}

// Unix symlinks stand in for the junctions and symbolic links a standard user
// can make on Windows. Wine opens them as what they point at, so the walk
// leaves them in place (on Windows it removes them through their own handles):
// this shows what both must show, that nothing behind a link or another name of
// a file is touched, and not the links' removal.
TEST_F(folders_test, delete_tree_touches_nothing_behind_a_link_or_another_name)
{
    std::wstring outside = path(L"outside");
    std::wstring empty_outside = path(L"empty-outside");
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(empty_outside.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(outside + L"\\keep.dll", "keep"));
    ASSERT_TRUE(write_bytes(outside + L"\\inner\\keep.dll", "keep"));
    std::wstring secret = path(L"secret.dll");
    std::wstring shared = path(L"shared.dll");
    std::wstring locked = path(L"locked.dll");
    ASSERT_TRUE(write_bytes(secret, "secret"));
    ASSERT_TRUE(write_bytes(shared, "shared"));
    ASSERT_TRUE(write_bytes(locked, "locked"));
    ASSERT_TRUE(SetFileAttributesW(shared.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));

    std::wstring tree = path(L"Camera");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(tree + L"\\mirvo_vcam.dll", "x"));
    // Second names: the hidden one goes, the read-only one stays, since clearing
    // read-only would change the file behind every name.
    ASSERT_TRUE(CreateHardLinkW((tree + L"\\shared.dll").c_str(), shared.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((tree + L"\\sub\\locked.dll").c_str(), locked.c_str(), nullptr));
    const std::pair<std::wstring, std::wstring> links[] = {
        {outside, tree + L"\\link"},
        {outside, tree + L"\\sub\\link"},
        {empty_outside, tree + L"\\empty-link"},
        {secret, tree + L"\\file-link.dll"},
        {outside, path(L"top-link")},
        {empty_outside, path(L"top-empty-link")},
    };
    for (const auto& [target, link] : links) ASSERT_NO_FATAL_FAILURE(make_unix_link(target, link));
    ASSERT_EQ(GetFileAttributesW((tree + L"\\link").c_str()), static_cast<DWORD>(0x410));

    delete_tree(tree.c_str());
    delete_tree(path(L"top-link").c_str());
    delete_tree(path(L"top-empty-link").c_str());

    EXPECT_FALSE(path_exists(tree + L"\\mirvo_vcam.dll"));
    EXPECT_FALSE(path_exists(tree + L"\\shared.dll"));
    EXPECT_EQ(read_bytes(shared), "shared");
    const DWORD protecting = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    EXPECT_EQ(GetFileAttributesW(shared.c_str()) & protecting, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(read_bytes(tree + L"\\sub\\locked.dll"), "locked");
    EXPECT_EQ(GetFileAttributesW(locked.c_str()) & protecting, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(read_bytes(secret), "secret");
    EXPECT_EQ(read_bytes(outside + L"\\keep.dll"), "keep");
    EXPECT_EQ(read_bytes(outside + L"\\inner\\keep.dll"), "keep");
    // RemoveDirectoryW on a link to an empty folder would have taken the folder.
    EXPECT_EQ(GetFileAttributesW(empty_outside.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(path_exists(log_path));

    // Never through Windows: DeleteFileW on the file link would delete the secret.
    for (const auto& [target, link] : links) remove_unix_link(link);
    SetFileAttributesW((tree + L"\\sub\\locked.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Another process holding a file or a folder without delete sharing (handles
// of this one stand in: the sharing rules are the same): they and the folders
// above them stay, everything else goes, and the next call finishes the job.
TEST_F(folders_test, delete_tree_leaves_a_held_file_and_its_folders)
{
    std::wstring tree = path(L"Camera");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\held").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\free").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(tree + L"\\held\\mirvo_vcam.dll", "loaded"));
    ASSERT_TRUE(write_bytes(tree + L"\\held\\other.dll", "x"));
    ASSERT_TRUE(write_bytes(tree + L"\\free\\a.dll", "x"));
    ASSERT_TRUE(write_bytes(tree + L"\\b.dll", "x"));
    unique_handle holder(CreateFileW((tree + L"\\held\\mirvo_vcam.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    // A folder held open without delete sharing, as a process holds its current
    // folder: what is in it goes, the folder stays.
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\current").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(tree + L"\\current\\c.dll", "x"));
    unique_handle current(CreateFileW((tree + L"\\current").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(current);

    delete_tree(tree.c_str());

    EXPECT_EQ(read_bytes(tree + L"\\held\\mirvo_vcam.dll"), "loaded");
    EXPECT_FALSE(path_exists(tree + L"\\held\\other.dll"));
    EXPECT_FALSE(path_exists(tree + L"\\free"));
    EXPECT_FALSE(path_exists(tree + L"\\b.dll"));
    EXPECT_FALSE(path_exists(tree + L"\\current\\c.dll"));
    EXPECT_TRUE(path_exists(tree + L"\\current"));

    holder.reset();
    current.reset();
    delete_tree(tree.c_str());
    EXPECT_FALSE(path_exists(tree));
    EXPECT_FALSE(path_exists(log_path));
}

// The pieces a cleanup of a folder under ProgramData works with: a folder
// opened relative to its parent's handle and deleted through it. A Unix symlink
// stands in for a junction; Wine opens it as its target, so it stays (Windows
// removes it through its own handle), and nothing behind it is touched.
TEST_F(folders_test, delete_tree_at_deletes_a_named_folder_and_never_what_a_link_points_at)
{
    std::wstring parent = path(L"ProgramData-mirvo");
    std::wstring outside = path(L"outside");
    ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(outside + L"\\keep.dll", "keep"));
    ASSERT_TRUE(CreateDirectoryW((parent + L"\\vcam").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(parent + L"\\vcam\\old.dll", "x"));
    ASSERT_NO_FATAL_FAILURE(make_unix_link(outside, parent + L"\\link"));
    unique_handle parent_handle(open_folder(parent.c_str(), DELETE));
    ASSERT_TRUE(parent_handle) << GetLastError();

    static constexpr struct {
        const wchar_t* name;
        int result;
        bool gone;
    } cases[] = {
        {L"vcam", 1, true},
        {L"missing", 1, true},
        {L"link", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_utf8(c.name));
        std::wstring named = parent + L"\\" + c.name;
        EXPECT_EQ(delete_tree_at(parent_handle.get(), c.name, named.c_str()), c.result);
        EXPECT_EQ(path_exists(named), !c.gone);
    }
    entry_facts facts = {};
    unique_handle link(open_entry(parent_handle.get(), L"link", entry_use::folder, &facts));
    ASSERT_TRUE(link);
    EXPECT_EQ(facts.kind, entry_kind::link_target);
    EXPECT_EQ(delete_tree_by_handle(link.get(), facts, (parent + L"\\link").c_str()), 0);
    link.reset();
    EXPECT_EQ(read_bytes(outside + L"\\keep.dll"), "keep");

    parent_handle.reset();
    remove_unix_link(parent + L"\\link");
    EXPECT_FALSE(path_exists(log_path));
}

TEST_F(folders_test, delete_tree_leaves_a_path_of_1021_characters_or_more_alone)
{
    static constexpr struct {
        size_t length;
        bool deleted;
    } cases[] = {{1020, true}, {1021, false}, {1023, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::wstring base = path(L"long");
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
        std::wstring deep = make_folder_of_length(base, c.length);

        delete_tree(deep.c_str());

        EXPECT_EQ(path_exists(deep), !c.deleted);
        remove_tree(base);
    }
}

// 500 levels of one-letter folders, as deep as a path buffer allows: a walk
// that recursed with its buffers on the stack would overflow it. Under Wine a
// relative open and a name query each cost time in proportion to the folder's
// depth (some 50 ms per level at 500 levels, measured), so the walk by handle
// takes seconds here; the bound only catches a walk that goes round in circles.
TEST(delete_tree, takes_a_tree_500_levels_deep)
{
    std::wstring base = L"C:\\mirvo-deep-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    std::wstring folder = base;
    for (int level = 0; level < 500; ++level) {
        folder += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << level;
        if (level % 100 == 0) {
            ASSERT_TRUE(write_bytes(folder + L"\\f", "x"));
        }
    }
    ASSERT_TRUE(write_bytes(folder + L"\\b", "x"));
    ASSERT_LE(folder.size(), 1020u);
    DWORD start = GetTickCount();

    delete_tree(base.c_str());

    DWORD elapsed = GetTickCount() - start;
    EXPECT_FALSE(path_exists(base));
    EXPECT_LT(elapsed, 60000u);
    std::printf("deleted 500 levels in %lu ms\n", elapsed);
}

// SIDs as text, from an ACL entry.
std::string sid_text(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "?";
    std::string result = to_utf8(text);
    LocalFree(text);
    return result;
}

struct ace_view {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::string sid;
    bool operator==(const ace_view&) const = default;
};

std::vector<ace_view> entries_of(PACL acl)
{
    std::vector<ace_view> entries;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);  // deny entries have the same layout
        entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                           sid_text(&allowed->SidStart)});
    }
    return entries;
}

PSID sid_of(const wchar_t* text, unique_local& owner)
{
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid));
    owner.reset(sid);
    return sid;
}

// Wine keeps no DACL as written (it derives one from Unix mode bits), so what
// grant_read_execute writes is shown through the ACL its building step makes.
TEST(grant_read_execute, builds_both_inheritable_entries_beside_the_existing_ones)
{
    unique_local everyone_owner, packages_owner, system_owner, users_owner;
    PSID everyone = sid_of(L"S-1-1-0", everyone_owner);
    PSID packages = sid_of(L"S-1-15-2-1", packages_owner);
    PSID system = sid_of(L"S-1-5-18", system_owner);
    PSID users = sid_of(L"S-1-5-32-545", users_owner);

    alignas(DWORD) BYTE storage[512];
    PACL existing = reinterpret_cast<PACL>(storage);
    ASSERT_TRUE(InitializeAcl(existing, sizeof(storage), ACL_REVISION));
    ASSERT_TRUE(AddAccessDeniedAce(existing, ACL_REVISION, FILE_WRITE_DATA, users));
    ASSERT_TRUE(AddAccessAllowedAceEx(existing, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                      FILE_ALL_ACCESS, system));
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const ace_view for_everyone{ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_READ | GENERIC_EXECUTE, "S-1-1-0"};
    const ace_view for_packages{ACCESS_ALLOWED_ACE_TYPE, inherit, 0xA0000000, "S-1-15-2-1"};

    // What Wine reports for a folder of its own, as grant_read_execute reads it.
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    PACL folder_dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(temp, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &folder_dacl, nullptr, &descriptor),
              0u);
    unique_local descriptor_owner(descriptor);
    ASSERT_NE(folder_dacl, nullptr);

    const struct {
        const char* name;
        PACL existing;
        size_t existing_count;
    } cases[] = {
        {"two entries already", existing, 2},
        {"no DACL yet", nullptr, 0},
        {"a folder's DACL", folder_dacl, folder_dacl->AceCount},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ace_view> before = entries_of(c.existing);
        ASSERT_EQ(before.size(), c.existing_count);
        PACL merged = nullptr;

        ASSERT_EQ(merge_read_execute_entries(c.existing, everyone, packages, &merged), 0u);

        unique_local merged_owner(merged);
        std::vector<ace_view> after = entries_of(merged);
        EXPECT_EQ(after.size(), c.existing_count + 2);
        for (const ace_view& old : before) EXPECT_NE(std::find(after.begin(), after.end(), old), after.end()) << old.sid;
        EXPECT_NE(std::find(after.begin(), after.end(), for_everyone), after.end());
        EXPECT_NE(std::find(after.begin(), after.end(), for_packages), after.end());
    }
}

TEST_F(folders_test, grant_read_execute_writes_a_folder_and_reports_a_missing_one)
{
    EXPECT_EQ(grant_read_execute(folder.c_str()), 1);
    EXPECT_FALSE(path_exists(log_path));

    std::wstring missing = path(L"missing");
    EXPECT_EQ(grant_read_execute(missing.c_str()), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{"reading the permissions of " + to_utf8(missing) + " failed (2)"});
}

}  // namespace
