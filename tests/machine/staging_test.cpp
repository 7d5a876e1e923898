// The ready-marker rule and the wait for Setup, in-process. The wait's clock is
// replaced by one that runs an hour per look, so a wait that is never satisfied
// ends after a few passes instead of 6 hours; the replacement can also act
// between passes (write the right marker late).
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "log/log.h"
#include "machine/staging.h"
#include "base/owners.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

constexpr ULONGLONG HOUR_MS = 3600000;

class staging_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        wcscpy_s(log_path, PATH_CHARS, path(L"install.log").c_str());
        options = static_cast<setup_options*>(calloc(1, sizeof(setup_options)));
        wcscpy_s(options->install_dir, PATH_CHARS, folder.c_str());
        ready = path(L".elevated_ready");
        done = path(L".elevated_done");
        looks = 0;
        on_look = nullptr;
        staging_tick_count = fake_clock;
    }
    void TearDown() override
    {
        staging_tick_count = GetTickCount64;
        on_look = nullptr;
        free(options);
        log_path[0] = 0;
        temp_folder_test::TearDown();
    }

    // One hour per call: the first call is the start of the wait, each later
    // one the check before a pass.
    static ULONGLONG WINAPI fake_clock()
    {
        ULONGLONG now = looks * HOUR_MS;
        if (on_look) on_look(looks);
        ++looks;
        return now;
    }

    void set_nonce(const wchar_t* nonce) { wcscpy_s(options->nonce, NONCE_CHARS, nonce); }
    std::vector<std::string> messages() { return log_messages(log_path); }

    static inline int looks = 0;
    static inline std::function<void(int)> on_look;
    setup_options* options = nullptr;
    std::wstring ready;
    std::wstring done;
};

const char WAITING[] = "waiting for Setup to finish staging files (elevated right after Install was clicked)";
const char READY[] = "files ready; continuing";
const char GAVE_UP[] = "gave up waiting after 6 hours; the app offers these steps again";
const char SETUP_GONE[] = "Setup closed before it finished (nothing will signal); stopping without changing anything";

TEST(ready_marker_rule, accepts_the_nonce_with_trailing_blanks_only)
{
    static const struct {
        const char* name;
        std::string bytes;
        const wchar_t* nonce;
        bool accepted;
    } cases[] = {
        {"exact", "n0nce-42", L"n0nce-42", true},
        {"CR LF after", "n0nce-42\r\n", L"n0nce-42", true},
        {"spaces, CR and LF mixed after", "n0nce-42 \r\n  \n", L"n0nce-42", true},
        {"tab after", "n0nce-42\t", L"n0nce-42", false},
        {"space before", " n0nce-42", L"n0nce-42", false},
        {"byte-order mark before", "\xEF\xBB\xBFn0nce-42", L"n0nce-42", false},
        {"other case", "N0NCE-42", L"n0nce-42", false},
        {"another nonce", "n0nce-43", L"n0nce-42", false},
        {"a prefix of it", "n0nce-4", L"n0nce-42", false},
        {"bytes after a 0 byte", std::string("n0nce-42\0trailing junk", 22), L"n0nce-42", true},
        {"non-ASCII nonce in UTF-8", "n\xC3\xB6nce-\xE2\x82\xAC", L"n\x00F6nce-\x20AC", true},
        {"empty marker, no nonce", "", L"", true},
        {"anything, no nonce", "whatever\t", L"", true},
        {"empty marker, a nonce", "", L"n0nce-42", false},
        {"only blanks, a nonce", " \r\n", L"n0nce-42", false},
    };
    for (const auto& c : cases) {
        char buffer[MARKER_READ_BYTES + 1];
        memcpy(buffer, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(ready_marker_accepted(buffer, static_cast<DWORD>(c.bytes.size()), c.nonce) != 0, c.accepted)
            << c.name;
    }
}

// The oracle: without a nonce anything goes; with one, the bytes up to the
// first 0 byte, less trailing spaces, CR and LF, must be exactly the nonce's
// UTF-8. That is the rule whenever the platform's conversion is faithful:
// invalid UTF-8 turns into U+FFFD, which the random nonces never hold. A marker
// of 255 bytes without a 0 byte that decodes to more than 254 units overflows
// the conversion (Wine fills the buffer and reports failure): for those only
// "no crash" is asserted.
TEST(ready_marker_rule, random_markers_never_crash_and_match_the_rule)
{
    std::mt19937 random(20261210);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const std::vector<wchar_t> alphabet = {L'a', L'Z', L'0', L'-', L'_', L'.', L' ', L'\t', 0x00E9, 0x4E2D, 0x20AC};
    int overflowing = 0;
    int accepted_with_nonce = 0;
    for (int round = 0; round < 20000; ++round) {
        std::wstring nonce;
        int nonce_length = pick(0, 4) == 0 ? 0 : pick(1, 127);
        for (int i = 0; i < nonce_length; ++i) nonce += alphabet[pick(0, static_cast<int>(alphabet.size()) - 1)];
        std::string nonce_utf8 = to_utf8(nonce);

        std::string bytes;
        switch (pick(0, 4)) {
        case 0:  // random bytes
            for (int i = pick(0, 300); i > 0; --i) bytes += static_cast<char>(pick(0, 255));
            break;
        case 1:  // the nonce and a random tail of blanks, tabs, 0 bytes and junk
            bytes = nonce_utf8;
            for (int i = pick(0, 200); i > 0; --i) bytes += " \r\n\t\0x\xFF"[pick(0, 6)];
            break;
        case 2:  // the nonce with one byte changed
            bytes = nonce_utf8;
            if (!bytes.empty()) bytes[pick(0, static_cast<int>(bytes.size()) - 1)] = static_cast<char>(pick(0, 255));
            break;
        case 3:  // the nonce padded with blanks past what is read
            bytes = nonce_utf8 + std::string(static_cast<size_t>(pick(0, 300)), ' ');
            break;
        default:  // invalid UTF-8 around the nonce
            bytes = std::string(1, static_cast<char>(pick(0x80, 0xFF))) + nonce_utf8 + "\xC3";
            break;
        }
        // Only the first 255 bytes are ever read.
        std::string read = bytes.substr(0, MARKER_READ_BYTES);
        char buffer[MARKER_READ_BYTES + 1];
        memcpy(buffer, read.data(), read.size());
        int result = ready_marker_accepted(buffer, static_cast<DWORD>(read.size()), nonce.c_str());

        std::string text = read.substr(0, read.find('\0'));
        bool overflow = text.size() == MARKER_READ_BYTES && to_wide(text).size() > 254;
        if (overflow) {
            ++overflowing;
            continue;
        }
        while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
        bool expected = nonce.empty() || text == nonce_utf8;
        if (expected && !nonce.empty()) ++accepted_with_nonce;
        ASSERT_EQ(result != 0, expected) << "round " << round << ", nonce of " << nonce.size() << " units, "
                                         << read.size() << " bytes read";
    }
    // The generator reaches both sides of the rule, and the overflow case.
    EXPECT_GT(accepted_with_nonce, 1000);
    EXPECT_GT(overflowing, 0);
}

TEST_F(staging_test, the_right_marker_is_accepted_and_deleted)
{
    set_nonce(L"n0nce-42");
    ASSERT_TRUE(write_bytes(ready, "n0nce-42\r\n"));

    EXPECT_EQ(wait_for_staging(options), 1);

    EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, READY}));
    EXPECT_FALSE(path_exists(ready));
}

TEST_F(staging_test, markers_that_are_never_accepted_stay_until_the_time_limit)
{
    static const struct {
        const char* name;
        const char* content;  // null: a folder of that name
    } cases[] = {{"another nonce", "n0nce-41"}, {"tab after", "n0nce-42\t"}, {"a folder", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        set_nonce(L"n0nce-42");
        ASSERT_TRUE(c.content ? write_bytes(ready, c.content) : CreateDirectoryW(ready.c_str(), nullptr) != 0);
        looks = 0;

        EXPECT_EQ(wait_for_staging(options), 0);

        EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, GAVE_UP}));
        EXPECT_TRUE(path_exists(ready));
        // Start, then one look per hour until the sixth: passes at 1 to 5 hours.
        EXPECT_EQ(looks, 7);
        if (c.content) {
            EXPECT_EQ(read_bytes(ready), c.content);
        }
        remove_tree(ready);
    }
}

TEST_F(staging_test, a_wrong_marker_stays_until_the_right_one_comes)
{
    set_nonce(L"n0nce-42");
    ASSERT_TRUE(write_bytes(ready, "old-nonce"));
    on_look = [this](int look) {
        if (look == 3) write_bytes(ready, "n0nce-42 ");
    };

    EXPECT_EQ(wait_for_staging(options), 1);

    EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, READY}));
    EXPECT_FALSE(path_exists(ready));
    EXPECT_EQ(looks, 4);
}

TEST_F(staging_test, no_nonce_accepts_an_empty_marker)
{
    ASSERT_TRUE(write_bytes(ready, ""));
    EXPECT_EQ(wait_for_staging(options), 1);
    EXPECT_FALSE(path_exists(ready));
}

TEST_F(staging_test, setup_that_has_gone_ends_the_wait_at_the_first_pass)
{
    // A process that has ended, held by our handle so its id stays its own.
    run_request request;
    request.program = built_program(L"setup_standin.exe");  // without arguments it ends at once with 2
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION ended = {};
    std::wstring command = L"\"" + request.program + L"\"";
    ASSERT_TRUE(CreateProcessW(request.program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &ended));
    unique_handle ended_thread(ended.hThread);
    unique_handle ended_process(ended.hProcess);
    ASSERT_EQ(WaitForSingleObject(ended.hProcess, 10000), static_cast<DWORD>(WAIT_OBJECT_0));

    static const struct {
        const char* name;
        DWORD pid;
        bool gone;
    } cases[] = {
        {"ended", ended.dwProcessId, true},
        {"never existed", 0x7FFFFFF0, true},
        {"still running (this test)", GetCurrentProcessId(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log_path);
        set_nonce(L"n0nce-42");
        options->setup_pid = c.pid;
        looks = 0;

        EXPECT_EQ(wait_for_staging(options), 0);

        EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, c.gone ? SETUP_GONE : GAVE_UP}));
        EXPECT_EQ(looks, c.gone ? 2 : 7);
    }
}

TEST_F(staging_test, a_marker_path_that_does_not_fit_ends_the_wait_before_it_starts)
{
    // install folder + "\.elevated_ready" must stay below 1024 characters.
    std::wstring deep = make_folder_of_length(folder, 1006);
    wcscpy_s(options->install_dir, PATH_CHARS, deep.c_str());
    ASSERT_TRUE(write_bytes(deep + L"\\.elevated_ready", ""));
    EXPECT_EQ(wait_for_staging(options), 1);

    std::wstring deeper = make_folder_of_length(folder, 1007);
    wcscpy_s(options->install_dir, PATH_CHARS, deeper.c_str());
    DeleteFileW(log_path);
    EXPECT_EQ(wait_for_staging(options), 0);
    EXPECT_FALSE(path_exists(log_path));
}

TEST_F(staging_test, the_done_marker_holds_exactly_the_nonce_or_done)
{
    static const struct {
        const char* name;
        const wchar_t* nonce;
        std::string bytes;
    } cases[] = {
        {"32-character nonce", L"0123456789abcdef0123456789ABCDEF", "0123456789abcdef0123456789ABCDEF"},
        {"non-ASCII nonce", L"n\x00F6nce", "n\xC3\xB6nce"},
        {"no nonce", L"", "done"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_bytes(done, "an earlier, longer marker from another run"));
        set_nonce(c.nonce);
        write_done_marker(options);
        EXPECT_EQ(read_bytes(done), c.bytes);
    }
    EXPECT_FALSE(path_exists(log_path));

    options->install_dir[0] = 0;
    DeleteFileW(done.c_str());
    write_done_marker(options);
    EXPECT_FALSE(path_exists(done));
}

// The install folder is the user's: a marker that is a second name of some
// other file, or a link to one, is never accepted, and what it names is never
// deleted. (Under Wine a file symlink opens as its target; its handle's final
// path shows it.)
TEST_F(staging_test, a_marker_that_is_a_link_or_a_second_name_is_never_accepted_or_deleted)
{
    std::wstring secret = path(L"secret.txt");
    for (bool hard_link : {true, false}) {
        SCOPED_TRACE(hard_link ? "hard link" : "symlink");
        DeleteFileW(log_path);
        ASSERT_TRUE(write_bytes(secret, "n0nce-42"));
        if (hard_link) {
            ASSERT_TRUE(CreateHardLinkW(ready.c_str(), secret.c_str(), nullptr));
        } else {
            make_unix_link(secret, ready);
        }
        set_nonce(L"n0nce-42");
        looks = 0;

        EXPECT_EQ(wait_for_staging(options), 0);

        EXPECT_EQ(messages(), (std::vector<std::string>{WAITING, GAVE_UP}));
        EXPECT_EQ(read_bytes(secret), "n0nce-42");
        if (hard_link) {
            EXPECT_TRUE(DeleteFileW(ready.c_str()));
        } else {
            remove_unix_link(ready);
        }
    }
}

TEST_F(staging_test, an_earlier_done_marker_that_is_a_link_never_lets_the_write_through)
{
    std::wstring secret = path(L"secret.txt");
    set_nonce(L"n0nce-42");

    // A second name of another file: that name is replaced by a plain file.
    ASSERT_TRUE(write_bytes(secret, "keep me"));
    ASSERT_TRUE(CreateHardLinkW(done.c_str(), secret.c_str(), nullptr));
    write_done_marker(options);
    EXPECT_EQ(read_bytes(secret), "keep me");
    EXPECT_EQ(read_bytes(done), "n0nce-42");
    unique_handle marker(CreateFileW(done.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(GetFileInformationByHandle(marker.get(), &info));
    EXPECT_EQ(info.nNumberOfLinks, 1u);
    marker.reset();
    ASSERT_TRUE(DeleteFileW(done.c_str()));

    // A symlink: Wine opens it as its target and cannot remove it as a name, so
    // what shows here is only that the target is left as it was.
    make_unix_link(secret, done);
    write_done_marker(options);
    EXPECT_EQ(read_bytes(secret), "keep me");
    remove_unix_link(done);
}

TEST_F(staging_test, setup_holding_the_done_marker_open_still_reads_the_new_text)
{
    ASSERT_TRUE(write_bytes(done, "an earlier run's much longer text"));
    unique_handle held(CreateFileW(done.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    set_nonce(L"n0nce-42");

    write_done_marker(options);

    char bytes[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(held.get(), bytes, sizeof(bytes), &got, nullptr));
    EXPECT_EQ(std::string(bytes, got), "n0nce-42");
}

}  // namespace
