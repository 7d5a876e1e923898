#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fs/folders.h"
#include "log/log.h"
#include "owners.h"
#include "support/test_support.h"

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

// The Unix path of path's parent joined with its last name, so that a link
// itself is named, not what it points at.
std::string unix_path(const std::wstring& path)
{
    using unix_name_call = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return {};
    size_t last = path.find_last_of(L'\\');
    char* parent = unix_name(path.substr(0, last).c_str());
    if (parent == nullptr) return {};
    std::string result = std::string(parent) + "/" + to_utf8(path.substr(last + 1));
    HeapFree(GetProcessHeap(), 0, parent);
    return result;
}

// Runs a Unix tool on the build machine through Wine, which starts one like a
// Windows program, and waits until path exists (or no longer does).
void run_unix_tool(const wchar_t* tool, const std::wstring& arguments, const std::wstring& path, bool exists_after)
{
    std::wstring command = std::wstring(tool) + L" " + arguments;
    std::wstring program = L"Z:" + std::wstring(tool);
    std::replace(program.begin(), program.end(), L'/', L'\\');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a Unix process does not tell when it has ended: watch the path.
    for (int i = 0; i < 100 && path_exists(path) != exists_after; ++i) Sleep(50);
    ASSERT_EQ(path_exists(path), exists_after) << to_utf8(path);
}

// Makes link a Unix symbolic link to target, which Wine shows as a folder that
// is a reparse point (0x410), as a junction looks on Windows.
void make_unix_link(const std::wstring& target, const std::wstring& link)
{
    std::string unix_target = unix_path(target);
    ASSERT_FALSE(unix_target.empty()) << "not running under Wine";
    run_unix_tool(L"/bin/ln", L"-s \"" + to_wide(unix_target) + L"\" \"" + to_wide(unix_path(link)) + L"\"", link,
                  true);
    ASSERT_EQ(GetFileAttributesW(link.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

void remove_unix_link(const std::wstring& link)
{
    run_unix_tool(L"/bin/rm", L"-f \"" + to_wide(unix_path(link)) + L"\"", link, false);
}

// Wine cannot remove such a link while its target holds anything (and in one
// trial with an empty target Wine's RemoveDirectoryW took the target away and
// left the link dangling), so this shows only half of what Windows does:
// nothing behind a link is touched. On Windows the links themselves go too.
TEST_F(folders_test, delete_tree_never_enters_a_link_windows_link_removal_not_shown)
{
    std::wstring outside = path(L"outside");
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(outside + L"\\keep.dll", "keep"));
    ASSERT_TRUE(write_bytes(outside + L"\\inner\\keep.dll", "keep"));
    std::wstring tree = path(L"Camera");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(tree + L"\\mirvo_vcam.dll", "x"));
    std::wstring inner_link = tree + L"\\link";
    std::wstring top_link = path(L"top-link");
    make_unix_link(outside, inner_link);
    make_unix_link(outside, top_link);

    delete_tree(tree.c_str());
    delete_tree(top_link.c_str());

    EXPECT_FALSE(path_exists(tree + L"\\mirvo_vcam.dll"));
    EXPECT_EQ(read_bytes(outside + L"\\keep.dll"), "keep");
    EXPECT_EQ(read_bytes(outside + L"\\inner\\keep.dll"), "keep");
    EXPECT_EQ(GetFileAttributesW(inner_link.c_str()), static_cast<DWORD>(0x410));
    EXPECT_EQ(GetFileAttributesW(top_link.c_str()), static_cast<DWORD>(0x410));
    remove_unix_link(inner_link);
    remove_unix_link(top_link);
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
// that recursed with its buffers on the stack would overflow it.
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
    EXPECT_LT(elapsed, 20000u);
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
