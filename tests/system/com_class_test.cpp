// COM class keys under HKEY_LOCAL_MACHINE in the tests' Wine prefix (a 64-bit
// prefix, so both registry views are real), and calls into DLLs of the tests' own.
// This program never calls SetDefaultDllDirectories: what the loader searches
// for a camera DLL's dependencies is up to call_dll_export alone.
#include <string>
#include <vector>

#include "camera/camera_constants.h"
#include "log/log.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "system/com_class.h"

namespace {

// Class ids of the tests' own, never used by anything else in the prefix.
constexpr const wchar_t* TEST_CLASS = L"{7F3C2A10-6B4D-4E8F-9A01-3C5D7E9F1B20}";
constexpr const wchar_t* OTHER_TEST_CLASS = L"{7F3C2A10-6B4D-4E8F-9A01-3C5D7E9F1B21}";
constexpr DWORD VIEWS[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

std::wstring class_key(const wchar_t* class_id) { return std::wstring(CLSID_ROOT) + L"\\" + class_id; }
std::wstring server_key(const wchar_t* class_id) { return class_key(class_id) + L"\\InprocServer32"; }

bool key_exists(const std::wstring& path, DWORD view)
{
    unique_key key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

struct stored_value {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    std::wstring text;
};

stored_value read_value(const std::wstring& path, const wchar_t* name, DWORD view)
{
    stored_value value;
    unique_key key;
    value.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put());
    if (value.status != ERROR_SUCCESS) return value;
    wchar_t data[4096] = {};
    value.bytes = sizeof(data) - sizeof(wchar_t);
    value.status = RegQueryValueExW(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &value.bytes);
    value.text = data;
    return value;
}

// Creates path in view and sets the string value name there (no value when text is null).
void put_value(const std::wstring& path, const wchar_t* name, const wchar_t* text, DWORD view)
{
    unique_key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS)
        << to_utf8(path);
    if (text == nullptr) return;
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// The three values write_com_class leaves, each REG_SZ with its terminator counted.
void expect_class(const wchar_t* class_id, const wchar_t* name, const wchar_t* dll, DWORD view)
{
    struct expected {
        std::wstring key;
        const wchar_t* value;
        const wchar_t* text;
    } values[] = {{class_key(class_id), nullptr, name},
                  {server_key(class_id), nullptr, dll},
                  {server_key(class_id), L"ThreadingModel", L"Both"}};
    for (const expected& e : values) {
        stored_value v = read_value(e.key, e.value, view);
        SCOPED_TRACE(to_utf8(e.key) + " " + (e.value ? to_utf8(e.value) : "(default)") + " in " +
                     to_utf8(view_name(view)));
        ASSERT_EQ(v.status, ERROR_SUCCESS);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(v.text, e.text);
        EXPECT_EQ(v.bytes, (wcslen(e.text) + 1) * sizeof(wchar_t));
    }
}

void delete_test_keys(const wchar_t* class_id)
{
    for (DWORD view : VIEWS) {
        unique_key root;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CLSID_ROOT, 0, KEY_ALL_ACCESS | view, root.put()) == ERROR_SUCCESS) {
            RegDeleteTreeW(root.get(), class_id);
        }
    }
}

// A key whose DACL is empty: nobody may open it, only its owner may still
// change its DACL. Keeps the key's own DACL to put back.
class locked_key {
public:
    bool lock(const std::wstring& path, DWORD view)
    {
        unique_key key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | WRITE_DAC | view, key.put()) !=
            ERROR_SUCCESS) {
            return false;
        }
        DWORD bytes = 0;
        RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &bytes);
        saved.assign(bytes, 0);
        if (RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, saved.data(), &bytes) != ERROR_SUCCESS) {
            return false;
        }
        SECURITY_DESCRIPTOR empty;
        ACL acl;
        InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION);
        InitializeAcl(&acl, sizeof(acl), ACL_REVISION);
        SetSecurityDescriptorDacl(&empty, TRUE, &acl, FALSE);
        if (RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &empty) != ERROR_SUCCESS) return false;
        locked_path = path;
        locked_view = view;
        return true;
    }

    // Puts the key's own DACL back; the owner may, with WRITE_DAC alone.
    void unlock()
    {
        if (locked_path.empty()) return;
        unique_key key;
        LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, locked_path.c_str(), 0, WRITE_DAC | locked_view, key.put());
        EXPECT_EQ(status, ERROR_SUCCESS) << "reopening " << to_utf8(locked_path);
        if (status == ERROR_SUCCESS) {
            EXPECT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, saved.data()), ERROR_SUCCESS);
        }
        locked_path.clear();
    }

private:
    std::vector<BYTE> saved;
    std::wstring locked_path;
    DWORD locked_view = 0;
};

class com_class_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        delete_test_keys(TEST_CLASS);  // a leftover of an interrupted run
        delete_test_keys(OTHER_TEST_CLASS);
        log_file = path(L"machine.log");
        wcscpy_s(log_path, PATH_CHARS, log_file.c_str());
    }

    void TearDown() override
    {
        locked.unlock();
        delete_test_keys(TEST_CLASS);
        delete_test_keys(OTHER_TEST_CLASS);
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }

    std::vector<std::string> messages() { return log_messages(log_file); }

    std::wstring log_file;
    locked_key locked;
};

TEST_F(com_class_test, each_view_holds_its_own_class_and_a_deletion_leaves_the_other_views_copy)
{
    for (DWORD deleted : VIEWS) {
        SCOPED_TRACE(to_utf8(view_name(deleted)) + " view deleted");
        ASSERT_TRUE(write_com_class(TEST_CLASS, L"MIRVO", L"C:\\Program Files\\mirvo\\Camera\\mirvo_dshow64.dll",
                                    KEY_WOW64_64KEY));
        ASSERT_TRUE(write_com_class(TEST_CLASS, L"MIRVO 32", L"C:\\Program Files\\mirvo\\Camera\\mirvo_dshow32.dll",
                                    KEY_WOW64_32KEY));
        expect_class(TEST_CLASS, L"MIRVO", L"C:\\Program Files\\mirvo\\Camera\\mirvo_dshow64.dll", KEY_WOW64_64KEY);
        expect_class(TEST_CLASS, L"MIRVO 32", L"C:\\Program Files\\mirvo\\Camera\\mirvo_dshow32.dll",
                     KEY_WOW64_32KEY);

        delete_com_class(TEST_CLASS, deleted);

        DWORD kept = deleted == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        EXPECT_FALSE(key_exists(class_key(TEST_CLASS), deleted));
        EXPECT_TRUE(key_exists(server_key(TEST_CLASS), kept));
        EXPECT_EQ(read_value(class_key(TEST_CLASS), nullptr, kept).text,
                  kept == KEY_WOW64_64KEY ? L"MIRVO" : L"MIRVO 32");
        delete_com_class(TEST_CLASS, kept);
        EXPECT_FALSE(key_exists(class_key(TEST_CLASS), kept));
    }
    EXPECT_TRUE(messages().empty());
}

TEST_F(com_class_test, writing_over_a_class_replaces_the_three_values_and_keeps_everything_else)
{
    put_value(class_key(TEST_CLASS), nullptr, L"old name", KEY_WOW64_64KEY);
    put_value(class_key(TEST_CLASS), L"AppID", L"{00000000-0000-0000-0000-000000000001}", KEY_WOW64_64KEY);
    put_value(class_key(TEST_CLASS) + L"\\Instance", nullptr, L"kept", KEY_WOW64_64KEY);
    put_value(server_key(TEST_CLASS), nullptr, L"C:\\old\\place.dll", KEY_WOW64_64KEY);
    put_value(server_key(TEST_CLASS), L"ThreadingModel", L"Apartment", KEY_WOW64_64KEY);
    put_value(server_key(TEST_CLASS), L"Extra", L"kept too", KEY_WOW64_64KEY);

    EXPECT_TRUE(write_com_class(TEST_CLASS, L"MIRVO Portrait", L"C:\\new\\place.dll", KEY_WOW64_64KEY));

    expect_class(TEST_CLASS, L"MIRVO Portrait", L"C:\\new\\place.dll", KEY_WOW64_64KEY);
    EXPECT_EQ(read_value(class_key(TEST_CLASS), L"AppID", KEY_WOW64_64KEY).text,
              L"{00000000-0000-0000-0000-000000000001}");
    EXPECT_EQ(read_value(class_key(TEST_CLASS) + L"\\Instance", nullptr, KEY_WOW64_64KEY).text, L"kept");
    EXPECT_EQ(read_value(server_key(TEST_CLASS), L"Extra", KEY_WOW64_64KEY).text, L"kept too");
    EXPECT_FALSE(key_exists(class_key(TEST_CLASS), KEY_WOW64_32KEY));
    EXPECT_TRUE(messages().empty());
}

TEST_F(com_class_test, points_at_only_the_same_path_in_the_64_bit_view_ignoring_a_to_z_case)
{
    const std::wstring dll = L"C:\\Program Files\\mirvo\\Camera\\mirvo_vcam.dll";
    // "C:\" and 1019 more characters: 1022 fit the 2046 bytes read, 1023 do not.
    const std::wstring longest = L"C:\\" + std::wstring(1019, L'a');
    const std::wstring too_long = L"C:\\" + std::wstring(1020, L'a');
    const struct {
        const char* name;
        const wchar_t* stored;  // null: no default value
        bool server_key;        // false: the class key has no InprocServer32
        DWORD view;
        std::wstring expected;
        int result;
    } cases[] = {
        {"same path", L"C:\\Program Files\\mirvo\\Camera\\mirvo_vcam.dll", true, KEY_WOW64_64KEY, dll, 1},
        {"A to Z case only", L"c:\\PROGRAM FILES\\MIRVO\\camera\\Mirvo_VCam.DLL", true, KEY_WOW64_64KEY, dll, 1},
        {"a letter beyond Z in another case", L"C:\\Program Files\\mirvo\\Camera\\\u00C9.dll", true, KEY_WOW64_64KEY,
         L"C:\\Program Files\\mirvo\\Camera\\\u00E9.dll", 0},
        {"another path", L"C:\\Program Files\\other\\mirvo_vcam.dll", true, KEY_WOW64_64KEY, dll, 0},
        {"the expected path is only its start", L"C:\\Program Files\\mirvo\\Camera\\mirvo_vcam.dll.other", true,
         KEY_WOW64_64KEY, dll, 0},
        {"no default value", nullptr, true, KEY_WOW64_64KEY, dll, 0},
        {"no InprocServer32", nullptr, false, KEY_WOW64_64KEY, dll, 0},
        {"only in the 32-bit view", L"C:\\Program Files\\mirvo\\Camera\\mirvo_vcam.dll", true, KEY_WOW64_32KEY, dll,
         0},
        {"1022 characters", longest.c_str(), true, KEY_WOW64_64KEY, longest, 1},
        {"1023 characters", too_long.c_str(), true, KEY_WOW64_64KEY, too_long, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delete_test_keys(TEST_CLASS);
        if (c.server_key) {
            put_value(server_key(TEST_CLASS), nullptr, c.stored, c.view);
            put_value(server_key(TEST_CLASS), L"ThreadingModel", L"Both", c.view);
        } else {
            put_value(class_key(TEST_CLASS), nullptr, L"MIRVO", c.view);
        }
        EXPECT_EQ(com_class_points_at(TEST_CLASS, c.expected.c_str()), c.result);
    }
    EXPECT_EQ(com_class_points_at(OTHER_TEST_CLASS, dll.c_str()), 0) << "no class at all";
    EXPECT_TRUE(messages().empty());
}

TEST_F(com_class_test, deleting_a_class_that_is_not_there_logs_nothing)
{
    for (DWORD view : VIEWS) delete_com_class(TEST_CLASS, view);
    EXPECT_FALSE(key_exists(class_key(TEST_CLASS), KEY_WOW64_64KEY));
    EXPECT_TRUE(messages().empty());
    EXPECT_FALSE(path_exists(log_file));
}

// Wine lets every token of the prefix open HKLM with full access, but it keeps
// to a key's DACL: an empty one stands in for a key a caller may not change.
TEST_F(com_class_test, a_clsid_root_that_cannot_be_opened_is_passed_over_in_silence)
{
    ASSERT_TRUE(write_com_class(TEST_CLASS, L"MIRVO", L"C:\\kept.dll", KEY_WOW64_64KEY));
    ASSERT_TRUE(locked.lock(CLSID_ROOT, KEY_WOW64_64KEY));

    delete_com_class(TEST_CLASS, KEY_WOW64_64KEY);

    locked.unlock();
    EXPECT_TRUE(messages().empty());
    expect_class(TEST_CLASS, L"MIRVO", L"C:\\kept.dll", KEY_WOW64_64KEY);
}

// A class key or its InprocServer32 subkey that nobody may open: the write fails
// at the key it cannot open (what was written before stays), the deletion of
// the tree fails, and each says so with the view it worked in.
TEST_F(com_class_test, a_key_that_cannot_be_opened_fails_the_write_and_the_deletion)
{
    const std::string id = to_utf8(TEST_CLASS);
    const struct {
        const char* name;
        std::wstring locked_key;
        const char* write_message;
        const wchar_t* name_after;
    } cases[] = {
        {"class key", class_key(TEST_CLASS), ": cannot create (5)", L"old name"},
        {"InprocServer32", server_key(TEST_CLASS), ": not written (5)", L"MIRVO"},
    };
    for (const auto& c : cases) {
        for (DWORD view : VIEWS) {
            SCOPED_TRACE(std::string(c.name) + " in " + to_utf8(view_name(view)));
            DeleteFileW(log_file.c_str());
            put_value(class_key(TEST_CLASS), nullptr, L"old name", view);
            put_value(server_key(TEST_CLASS), nullptr, L"C:\\old.dll", view);
            ASSERT_TRUE(locked.lock(c.locked_key, view));

            EXPECT_EQ(write_com_class(TEST_CLASS, L"MIRVO", L"C:\\new.dll", view), 0);
            delete_com_class(TEST_CLASS, view);

            locked.unlock();
            EXPECT_EQ(messages(), (std::vector<std::string>{
                                      "class " + id + c.write_message,
                                      "class " + id + " (" + to_utf8(view_name(view)) + " view): not deleted (5)"}));
            EXPECT_EQ(read_value(class_key(TEST_CLASS), nullptr, view).text, c.name_after);
            EXPECT_EQ(read_value(server_key(TEST_CLASS), nullptr, view).text, L"C:\\old.dll");
            delete_test_keys(TEST_CLASS);
        }
    }
}

// call_dll_export against the tests' own camera DLLs: the entry point runs in
// this process (the DLL appends to the record file), and the DLL is unloaded
// again on every path.
class dll_export_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        record = path(L"record.txt");
        SetEnvironmentVariableW(L"MIRVO_TEST_CAMERA_RECORD", record.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"MIRVO_TEST_CAMERA_RECORD", nullptr);
        temp_folder_test::TearDown();
    }
    std::wstring record;
};

TEST_F(dll_export_test, returns_the_entry_points_result_or_the_loaders_error_and_unloads_the_dll)
{
    ASSERT_TRUE(write_bytes(path(L"not_a_dll.dll"), "plain text, not an image"));
    const std::wstring parts = built_program(L"camera_parts\\");
    const struct {
        const char* name;
        std::wstring dll;
        HRESULT result;
        bool called;
    } cases[] = {
        {"the export answers S_OK", parts + L"test_camera_good.dll", S_OK, true},
        {"the export answers a failure", parts + L"test_camera_unregister_fails.dll", E_FAIL, true},
        {"no such export", parts + L"test_camera_no_unregister.dll", EXPORT_MISSING_RESULT, false},
        {"no such file", path(L"missing.dll"), static_cast<HRESULT>(0x8007007E), false},
        {"not an image", path(L"not_a_dll.dll"), static_cast<HRESULT>(0x800700C1), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(record.c_str());

        EXPECT_EQ(call_dll_export(c.dll.c_str(), UNREGISTER_SERVER_ENTRY), c.result);

        EXPECT_EQ(read_bytes(record), c.called ? "unregister " + to_utf8(c.dll) + "\n" : "");
        EXPECT_EQ(GetModuleHandleW(c.dll.c_str()), nullptr) << "still loaded";
    }
}

// Keeps this process's current folder and PATH, which a search test changes.
class dll_search_test : public dll_export_test {
protected:
    void SetUp() override
    {
        dll_export_test::SetUp();
        GetCurrentDirectoryW(MAX_PATH, old_current);
        old_path.resize(32767);
        old_path.resize(GetEnvironmentVariableW(L"PATH", old_path.data(), 32767));
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(old_current);
        SetEnvironmentVariableW(L"PATH", old_path.c_str());
        dll_export_test::TearDown();
    }
    wchar_t old_current[MAX_PATH] = {};
    std::wstring old_path;
};

// A camera DLL importing a helper DLL by name finds the helper beside itself and
// nowhere else but System32: a helper planted in the current folder or in a PATH
// folder, which a standard user may own, is never loaded. Each case also shows
// that the planted copy is within the reach of the loader's older altered search.
TEST_F(dll_search_test, a_camera_dlls_dependency_is_found_beside_it_never_in_the_current_or_a_path_folder)
{
    const std::wstring parts = built_program(L"dll_search\\");
    const std::wstring beside = path(L"beside"), alone = path(L"alone"), current = path(L"current"),
                       on_path = path(L"on_path"), empty = path(L"empty");
    for (const std::wstring& folder : {beside, alone, current, on_path, empty}) {
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
    const std::wstring helper = L"\\mirvo_search_helper.dll", camera = L"\\search_camera.dll";
    ASSERT_TRUE(CopyFileW((parts + L"own" + camera).c_str(), (beside + camera).c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((parts + L"own" + helper).c_str(), (beside + helper).c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((parts + L"own" + camera).c_str(), (alone + camera).c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((parts + L"planted" + helper).c_str(), (current + helper).c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((parts + L"planted" + helper).c_str(), (on_path + helper).c_str(), TRUE));

    const struct {
        const char* name;
        std::wstring camera_folder;
        std::wstring current_folder;
        std::wstring path_folder;
        HRESULT result;
        std::wstring loaded;           // the helper copy call_dll_export loads, if any
        std::wstring loaded_formerly;  // the copy LOAD_WITH_ALTERED_SEARCH_PATH loads
    } cases[] = {
        {"beside, also planted in both", beside, current, on_path, 0x100, beside + helper, beside + helper},
        {"planted in the current folder only", alone, current, L"", static_cast<HRESULT>(0x8007007E), L"",
         current + helper},
        {"planted in a PATH folder only", alone, empty, on_path, static_cast<HRESULT>(0x8007007E), L"",
         on_path + helper},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(SetCurrentDirectoryW(c.current_folder.c_str()));
        std::wstring search_path = c.path_folder.empty() ? old_path : c.path_folder + L";" + old_path;
        ASSERT_TRUE(SetEnvironmentVariableW(L"PATH", search_path.c_str()));
        std::wstring dll = c.camera_folder + camera;
        DeleteFileW(record.c_str());

        EXPECT_EQ(call_dll_export(dll.c_str(), REGISTER_SERVER_ENTRY), c.result);

        EXPECT_EQ(read_bytes(record), c.loaded.empty() ? "" : "helper " + to_utf8(c.loaded) + "\n");
        EXPECT_EQ(GetModuleHandleW(L"mirvo_search_helper.dll"), nullptr) << "still loaded";

        DeleteFileW(record.c_str());
        HMODULE former = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        EXPECT_NE(former, nullptr) << GetLastError();
        if (former != nullptr) FreeLibrary(former);
        EXPECT_EQ(read_bytes(record), "helper " + to_utf8(c.loaded_formerly) + "\n");
    }
}

}  // namespace
