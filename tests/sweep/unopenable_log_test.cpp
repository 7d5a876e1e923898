// A log file that cannot be opened changes no outcome: each run ends with the
// same status and leaves the same result as with a log that can be written,
// and whatever stands where the log would go is left as it was.
#include <string>
#include <vector>

#include "support/quote_argument.h"
#include "support/test_support.h"

namespace {

enum class log_place { writable, read_only_file, missing_folder, folder_of_that_name };

class unopenable_log : public temp_folder_test {
protected:
    // The temporary folder the program sees is the test's own.
    std::vector<std::wstring> temp_here() const { return {L"TMP=" + folder, L"TEMP=" + folder}; }

    // Makes the log path as place has it; for a read-only file, its earlier text.
    void prepare(log_place place, const std::wstring& log)
    {
        remove_tree(log);
        remove_tree(path(L"gone"));
        if (place == log_place::read_only_file) {
            ASSERT_TRUE(write_bytes(log, "earlier\r\n"));
            ASSERT_TRUE(SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        if (place == log_place::folder_of_that_name) {
            ASSERT_TRUE(CreateDirectoryW(log.c_str(), nullptr));
        }
    }

    // What stands at the log path afterwards is what was made there.
    void expect_untouched(log_place place, const std::wstring& log)
    {
        DWORD attributes = GetFileAttributesW(log.c_str());
        switch (place) {
        case log_place::writable:
            EXPECT_FALSE(log_messages(log).empty()) << "the control run wrote no line";
            break;
        case log_place::read_only_file: {
            // Windows refuses to open a read-only file for writing, even to an
            // administrator; Wine run by root lets the append through. Either
            // way the earlier text stays whole and first.
            std::string bytes = read_bytes(log);
            ASSERT_EQ(bytes.rfind("earlier\r\n", 0), 0u);
            log_messages_in(bytes.substr(9));
            EXPECT_TRUE(GetFileAttributesW(log.c_str()) & FILE_ATTRIBUTE_READONLY);
            break;
        }
        case log_place::missing_folder:
            EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_FALSE(path_exists(path(L"gone")));
            break;
        case log_place::folder_of_that_name:
            ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
            EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
            EXPECT_TRUE(names_in_folder(log).empty());
            break;
        }
        if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    static std::vector<std::wstring> names_in_folder(const std::wstring& path)
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) names.push_back(data.cFileName);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return names;
    }
};

TEST_F(unopenable_log, a_log_that_cannot_be_opened_changes_no_outcome)
{
    const std::wstring install = path(L"install");
    const std::wstring empty_source = path(L"empty_source");
    ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(empty_source.c_str(), nullptr));
    const std::wstring chosen = path(L"chosen.log");
    const std::wstring done_marker = install + L"\\.elevated_done";
    enum class effect { none, done_marker };
    const struct {
        const char* name;
        std::wstring arguments;  // {log} is where the log goes
        std::wstring log;
        DWORD status;
        effect made;
    } runs[] = {
        {"machine-setup, --log", L"machine-setup --install-dir " + ::quoted(install) +
                                     L" --no-camera --no-vbcable --nonce n0nce --log " + ::quoted(chosen),
         chosen, 0, effect::done_marker},
        {"machine-setup, install.log in the install folder",
         L"machine-setup --install-dir " + ::quoted(install) + L" --no-camera --no-vbcable --nonce n0nce",
         install + L"\\install.log", 0, effect::done_marker},
        {"vbcable-verify of a missing file, --log",
         L"vbcable-verify --setup " + ::quoted(path(L"none.exe")) + L" --log " + ::quoted(chosen), chosen, 1, effect::none},
        {"camera-install without its DLL, early log in the temporary folder",
         L"camera-install --vcam-dir " + ::quoted(empty_source), path(L"mirvo_install_early.log"), 1, effect::none},
        {"stop-app, early log", L"stop-app", path(L"mirvo_install_early.log"), 0, effect::none},
    };
    const struct {
        const char* name;
        log_place place;
        const wchar_t* in_missing_folder;  // the log's name inside a folder that does not exist
    } places[] = {
        {"writable (control)", log_place::writable, nullptr},
        {"read-only file", log_place::read_only_file, nullptr},
        {"missing folder", log_place::missing_folder, L"gone\\x.log"},
        {"folder of that name", log_place::folder_of_that_name, nullptr},
    };
    for (const auto& run : runs) {
        for (const auto& place : places) {
            SCOPED_TRACE(std::string(run.name) + " / " + place.name);
            std::wstring arguments = run.arguments;
            std::wstring log = run.log;
            if (place.in_missing_folder != nullptr) {
                if (log == chosen) {
                    log = path(place.in_missing_folder);
                    arguments.replace(arguments.find(::quoted(chosen)), ::quoted(chosen).size(), ::quoted(log));
                } else {
                    // The logs the program picks itself lie in folders that exist:
                    // a missing folder is only a --log case.
                    continue;
                }
            }
            ASSERT_NO_FATAL_FAILURE(prepare(place.place, log));
            DeleteFileW(done_marker.c_str());

            run_result r = run_machine(arguments, true, temp_here());

            EXPECT_TRUE(r.finished);
            EXPECT_EQ(r.exit_code, run.status);
            EXPECT_EQ(read_bytes(done_marker), run.made == effect::done_marker ? "n0nce" : "");
            expect_untouched(place.place, log);
            remove_tree(log);
        }
    }
}

}  // namespace
