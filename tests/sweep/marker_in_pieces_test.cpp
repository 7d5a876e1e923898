// Setup's ready marker written in pieces while machine-setup --wait-for-files
// reads it every 500 ms: no piece short of the whole, right text is ever
// accepted, and the whole one is. Setup is supposed to write the marker under
// another name and rename it into place; this is the Setup that does not.
#include <string>
#include <vector>

#include "support/quote_argument.h"
#include "support/running_program.h"
#include "support/test_support.h"

namespace {

// Longer than the program's 500 ms between looks, so each piece is seen.
constexpr DWORD PIECE_PAUSE_MS = 800;

enum class writing {
    one_handle,      // one handle held open (sharing reads) from the first piece to the last
    open_per_piece,  // each piece appended through an open of its own, as a script's file calls do
};

class marker_in_pieces : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        install = path(L"install");
        ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
        marker = install + L"\\.elevated_ready";
        log = path(L"setup.log");
    }

    bool append(HANDLE file, const std::string& bytes)
    {
        DWORD written = 0;
        return SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
               WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    HANDLE open_marker(DWORD disposition)
    {
        return CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::wstring install;
    std::wstring marker;
    std::wstring log;
};

TEST_F(marker_in_pieces, only_the_whole_right_marker_is_accepted)
{
    const std::wstring nonce = L"n\u00f6nce-\u65e5\u672c-42";  // UTF-8: "n\xc3\xb6nce-\xe6\x97\xa5\xe6\x9c\xac-42"
    const std::string whole = to_utf8(nonce);
    const struct {
        const char* name;
        writing how;
        std::vector<std::string> pieces;  // the first piece starts a new file
    } cases[] = {
        {"nonce in three pieces, one handle", writing::one_handle, {"n\xc3\xb6n", "ce-\xe6\x97", "\xa5\xe6\x9c\xac-42"}},
        {"nonce in pieces split inside a character, an open per piece", writing::open_per_piece,
         {"n\xc3", "\xb6nce-\xe6", "\x97\xa5\xe6\x9c\xac-4", "2"}},
        {"an empty file first, then the whole nonce", writing::open_per_piece, {"", whole}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(marker.c_str());
        DeleteFileW((install + L"\\.elevated_done").c_str());
        DeleteFileW(log.c_str());
        running_program program(built_program(L"mirvo_machine.exe"),
                                L"machine-setup --install-dir " + ::quoted(install) + L" --wait-for-files --nonce " +
                                    ::quoted(nonce) + L" --setup-pid " + std::to_wstring(GetCurrentProcessId()) +
                                    L" --no-camera --no-vbcable --log " + ::quoted(log));
        ASSERT_TRUE(program.started());
        Sleep(PIECE_PAUSE_MS);

        unique_handle held;
        std::string written;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            if (c.how == writing::one_handle) {
                if (i == 0) held.reset(open_marker(CREATE_ALWAYS));
                ASSERT_TRUE(held) << GetLastError();
                ASSERT_TRUE(append(held.get(), c.pieces[i]));
            } else {
                unique_handle file(open_marker(i == 0 ? CREATE_ALWAYS : OPEN_EXISTING));
                ASSERT_TRUE(file) << GetLastError();
                ASSERT_TRUE(append(file.get(), c.pieces[i]));
            }
            written += c.pieces[i];
            bool whole_now = written.rfind(whole, 0) == 0 && written.size() >= whole.size();
            if (whole_now) break;
            Sleep(PIECE_PAUSE_MS);
            // Short of the whole text: still waiting, the marker still there.
            EXPECT_FALSE(program.ended()) << "accepted after " << written.size() << " bytes";
            EXPECT_TRUE(path_exists(marker));
            EXPECT_FALSE(path_exists(install + L"\\.elevated_done"));
        }
        held.reset();
        ASSERT_TRUE(program.ended(5000)) << "the whole marker was not accepted";
        EXPECT_EQ(program.exit_code(), 0u);
        EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), whole);
        std::vector<std::string> messages = log_messages(log);
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[1], "files ready; continuing");
        EXPECT_FALSE(path_exists(marker)) << "the accepted marker was not deleted";
    }
}

// A marker that is never right keeps the program waiting, whatever is appended,
// until Setup is gone; it then ends without installing anything, writes the
// done marker all the same and leaves the wrong marker where it is.
TEST_F(marker_in_pieces, pieces_that_never_make_the_nonce_are_never_accepted)
{
    // Plays Setup: a process that runs until the test ends it.
    running_program setup(built_program(L"dll_holder.exe"), ::quoted(path(L"setup.ready")) + L" --open");
    ASSERT_TRUE(setup.started());
    for (int i = 0; i < 100 && !path_exists(path(L"setup.ready")); ++i) Sleep(50);
    running_program program(built_program(L"mirvo_machine.exe"),
                            L"machine-setup --install-dir " + ::quoted(install) +
                                L" --wait-for-files --nonce right --setup-pid " + std::to_wstring(setup.id()) +
                                L" --no-camera --no-vbcable --log " + ::quoted(log));
    ASSERT_TRUE(program.started());
    {
        unique_handle held(open_marker(CREATE_ALWAYS));
        ASSERT_TRUE(held);
        for (const std::string piece : {"ri", "gh", "t!", "\r\nright"}) {
            ASSERT_TRUE(append(held.get(), piece));
            Sleep(PIECE_PAUSE_MS);
            EXPECT_FALSE(program.ended()) << "accepted after " << piece;
        }
    }
    setup.end();

    ASSERT_TRUE(program.ended(5000));
    EXPECT_EQ(program.exit_code(), 0u);
    EXPECT_EQ(read_bytes(marker), "right!\r\nright");
    EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), "right");
    EXPECT_EQ(log_messages(log),
              (std::vector<std::string>{
                  "waiting for Setup to finish staging files (elevated right after Install was clicked)",
                  "Setup closed before it finished (nothing will signal); stopping without changing anything"}));
}

}  // namespace
