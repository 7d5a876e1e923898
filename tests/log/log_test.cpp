#include <cwchar>
#include <string>
#include <thread>

#include "log/log.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

class log_writer : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        file = path(L"out.log");
        wcscpy_s(log_path, PATH_CHARS, file.c_str());
    }
    void TearDown() override
    {
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }
    std::wstring file;
};

TEST(format_bounded, stores_text_and_reports_length_by_the_bounded_rule)
{
    static constexpr struct {
        const char* name;
        const wchar_t* text;
        size_t count;
        int result;
        const wchar_t* stored;
        bool terminated;
    } cases[] = {
        {"shorter than count", L"abc", 5, 3, L"abc", true},
        {"empty text", L"", 5, 0, L"", true},
        {"exactly count", L"abcde", 5, 5, L"abcde", false},
        {"longer than count", L"abcdefg", 5, -1, L"abcde", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wchar_t buffer[16];
        wmemset(buffer, L'#', 16);
        EXPECT_EQ(format_bounded(buffer, c.count, L"%ls", c.text), c.result);
        EXPECT_EQ(std::wstring(buffer, wcslen(c.stored)), c.stored);
        size_t stored = wcslen(c.stored);
        if (c.terminated) {
            EXPECT_EQ(buffer[stored], L'\0');
        } else {
            // Nothing at all is written past count: no terminator, no overrun.
            EXPECT_EQ(buffer[c.count], L'#');
        }
    }
}

TEST(format_bounded, formats_the_directives_the_program_uses)
{
    wchar_t buffer[128];
    format_bounded(buffer, 127, L"%ls (%lu) %ld 0x%08lx %d [%02u]", L"x", 5ul, -7l, 0xABCul, 42, 3u);
    buffer[127] = 0;
    EXPECT_STREQ(buffer, L"x (5) -7 0x00000abc 42 [03]");
}

TEST_F(log_writer, empty_log_path_writes_nothing_anywhere)
{
    log_path[0] = 0;
    for (int i = 0; i < 100; ++i) log_line(L"line %d", i);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) ++entries;
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    EXPECT_EQ(entries, 0);
}

TEST_F(log_writer, first_line_creates_the_file_without_a_byte_order_mark)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    log_line(L"done");
    SYSTEMTIME after;
    GetLocalTime(&after);

    std::string bytes = read_bytes(file);
    ASSERT_EQ(bytes.size(), 28u);  // "[hh:mm:ss] [elevated] done\r\n"
    EXPECT_EQ(bytes[0], '[');
    EXPECT_EQ(bytes.substr(10), " [elevated] done\r\n");
    char stamp_before[16], stamp_after[16];
    snprintf(stamp_before, sizeof stamp_before, "[%02u:%02u:%02u]", before.wHour, before.wMinute, before.wSecond);
    snprintf(stamp_after, sizeof stamp_after, "[%02u:%02u:%02u]", after.wHour, after.wMinute, after.wSecond);
    std::string stamp = bytes.substr(0, 10);
    EXPECT_TRUE(stamp == stamp_before || stamp == stamp_after) << stamp;
}

TEST_F(log_writer, lines_are_appended_after_what_the_file_holds)
{
    ASSERT_TRUE(write_bytes(file, "earlier\r\n"));
    log_line(L"one %d", 1);
    log_line(L"two %ls", L"2");
    std::string bytes = read_bytes(file);
    ASSERT_EQ(bytes.rfind("earlier\r\n", 0), 0u);
    EXPECT_EQ(log_messages_in(bytes.substr(9)), (std::vector<std::string>{"one 1", "two 2"}));
}

TEST_F(log_writer, message_is_cut_to_1535_characters)
{
    std::wstring longer(1600, L'x');
    longer[1534] = L'E';
    log_line(L"%ls", longer.c_str());
    std::vector<std::string> messages = log_messages(file);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 1535u);
    EXPECT_EQ(messages[0].back(), 'E');
}

TEST_F(log_writer, percent_signs_in_arguments_are_written_unchanged)
{
    log_line(L"%ls is already in place", L"C:\\100%d\\%ls%n%%\\x.dll");
    EXPECT_EQ(log_messages(file), std::vector<std::string>{"C:\\100%d\\%ls%n%%\\x.dll is already in place"});
}

// A CR LF in a value from the command line must not start a line of its own:
// every character below U+0020 becomes "?"; U+0020 and U+007F and above stay.
TEST_F(log_writer, control_characters_in_a_message_become_question_marks)
{
    log_line(L"copy to %ls failed", L"C:\\x.dll\r\n[00:00:00] [elevated] forged\tline\x01\x1f \x7f\u0085");
    std::string bytes = read_bytes(file);
    EXPECT_EQ(log_messages_in(bytes),
              std::vector<std::string>{"copy to C:\\x.dll??[00:00:00] [elevated] forged?line?? \x7f\xc2\x85 failed"});
    EXPECT_EQ(bytes.find("\r\n"), bytes.size() - 2) << "one line, ended once";
}

TEST_F(log_writer, non_ascii_text_is_written_as_utf8)
{
    log_line(L"%ls", L"C:\\Users\\J\u00f6rg\\\u65e5\u672c\\\U0001F4F7");
    EXPECT_EQ(log_messages(file),
              std::vector<std::string>{"C:\\Users\\J\xc3\xb6rg\\\xe6\x97\xa5\xe6\x9c\xac\\\xf0\x9f\x93\xb7"});
}

TEST_F(log_writer, a_line_too_long_for_utf8_is_dropped_but_the_file_is_created)
{
    // 1535 characters of three UTF-8 bytes each cannot fit the 4000-byte buffer.
    std::wstring wide(1535, L'\u65e5');
    log_line(L"%ls", wide.c_str());
    EXPECT_TRUE(path_exists(file));
    EXPECT_EQ(read_bytes(file), "");
    log_line(L"next");
    EXPECT_EQ(log_messages(file), std::vector<std::string>{"next"});
}

// The reference installer follows install.log with NSIS's FileOpen, which shares
// reading only, for a moment at each look: a line written then waits for it.
TEST_F(log_writer, a_reader_that_holds_the_log_without_write_sharing_for_a_moment_loses_no_line)
{
    ASSERT_TRUE(write_bytes(file, "kept\r\n"));
    HANDLE reader = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread closing([reader] {
        Sleep(150);
        CloseHandle(reader);
    });
    log_line(L"written once the reader is done");
    closing.join();
    EXPECT_EQ(log_messages_in(read_bytes(file).substr(6)),
              std::vector<std::string>{"written once the reader is done"});
}

TEST_F(log_writer, unwritable_places_lose_the_line_quietly)
{
    ASSERT_TRUE(write_bytes(file, "kept\r\n"));
    {
        // Another process holding the log without sharing it.
        HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        log_line(L"to a file held without sharing");
        CloseHandle(holder);
    }
    EXPECT_EQ(read_bytes(file), "kept\r\n");

    std::wstring missing = path(L"no-such-folder\\out.log");
    wcscpy_s(log_path, PATH_CHARS, missing.c_str());
    log_line(L"to a missing folder");
    EXPECT_FALSE(path_exists(missing));
}

// The log lies in folders a standard user controls (the install folder, the
// temporary folder): a log name that is a second name of some other file, or a
// link to one, loses its lines and the other file is neither written nor
// created. A Unix symlink stands in for a Windows one; Wine opens it as its
// target, so only the final path shows it.
TEST_F(log_writer, a_log_that_is_another_name_or_a_link_of_another_file_gets_no_line)
{
    enum class kind { hard_link, file_link, dangling_link };
    static constexpr struct {
        const char* name;
        kind made_as;
    } cases[] = {
        {"second name", kind::hard_link},
        {"symlink to a file", kind::file_link},
        {"dangling symlink", kind::dangling_link},
    };
    const std::wstring other = path(L"other.txt");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_bytes(other, "other"));
        if (c.made_as == kind::hard_link) {
            ASSERT_TRUE(CreateHardLinkW(file.c_str(), other.c_str(), nullptr));
        } else {
            ASSERT_NO_FATAL_FAILURE(make_unix_link(other, file));
        }
        if (c.made_as == kind::dangling_link) {
            ASSERT_TRUE(DeleteFileW(other.c_str()));  // by its own name
        }

        log_line(L"done");

        if (c.made_as == kind::dangling_link) {
            EXPECT_FALSE(path_exists(other));
        } else {
            EXPECT_EQ(read_bytes(other), "other");
        }
        if (c.made_as == kind::hard_link) {
            ASSERT_TRUE(DeleteFileW(file.c_str()));  // one name of two: the other stays
        } else {
            remove_unix_link(file);  // never DeleteFileW: that would delete the target
        }
        DeleteFileW(other.c_str());
    }
    // The same name as a plain file gets its line as before.
    log_line(L"done");
    EXPECT_EQ(log_messages(file), std::vector<std::string>{"done"});
}

// The same through a whole run, as Setup or the app start the program.
TEST_F(log_writer, a_run_logging_to_a_second_name_leaves_the_other_file_as_it_was)
{
    const std::wstring other = path(L"other.txt");
    ASSERT_TRUE(write_bytes(other, "other"));
    ASSERT_TRUE(CreateHardLinkW(file.c_str(), other.c_str(), nullptr));

    run_result r = run_machine(L"stop-app --log \"" + file + L"\"");

    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(read_bytes(other), "other");
    ASSERT_TRUE(DeleteFileW(file.c_str()));
    r = run_machine(L"stop-app --log \"" + file + L"\"");
    EXPECT_EQ(log_messages(file), std::vector<std::string>{"stop-app: 0 process(es) ended"});
}

}  // namespace
