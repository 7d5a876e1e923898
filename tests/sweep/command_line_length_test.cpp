// Command lines of every size the system lets a caller pass, up to its limit
// of 32767 characters with the terminator: the program never crashes, ends
// with the status its verb documents, refuses a bad option with 2, and cuts a
// value longer than its field to the field.
#include <algorithm>
#include <string>
#include <vector>

#include "support/quote_argument.h"
#include "support/test_support.h"

namespace {

// The longest command line CreateProcessW takes, without its terminator.
constexpr size_t LIMIT = 32766;

class command_line_length : public temp_folder_test {
protected:
    // Sizes of a value: around every field size (63, 127, 1023 characters) and
    // doubling from there, up to what makes the whole command line as long as
    // the system allows; prefix is the command line without the value.
    static std::vector<size_t> value_lengths(size_t prefix)
    {
        std::vector<size_t> lengths = {1, 62, 63, 64, 65, 126, 127, 128, 129, 1022, 1023, 1024, 1025};
        for (size_t n = 2048; n < LIMIT; n *= 2) lengths.push_back(n);
        size_t most = LIMIT - prefix;
        lengths.insert(lengths.end(), {most - 1, most});
        lengths.erase(std::remove_if(lengths.begin(), lengths.end(), [&](size_t n) { return n > most; }),
                      lengths.end());
        return lengths;
    }

    // Runs the program with arguments; checks the whole command line's length
    // against the limit first, since run_program quotes the program path.
    run_result run(const std::wstring& arguments)
    {
        run_request request;
        request.program = built_program(L"mirvo_machine.exe");
        request.arguments = arguments;
        request.environment = {L"TMP=" + folder, L"TEMP=" + folder};
        return run_program(request);
    }

    size_t prefix_length(const std::wstring& arguments_before_value) const
    {
        return 1 + built_program(L"mirvo_machine.exe").size() + 2 + arguments_before_value.size();
    }
};

// Each shape ends its command line with a value of every chosen length.
TEST_F(command_line_length, every_length_up_to_the_limit_ends_with_the_documented_status)
{
    const std::wstring install = path(L"install");
    ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
    const std::wstring log = path(L"run.log");
    const std::wstring done = install + L"\\.elevated_done";
    const std::wstring missing_setup = L"C:\\no-such-folder\\";
    enum class shape { version_argument, nonce, setup_path, unknown_option, prefix_value };
    const struct {
        const char* name;
        shape kind;
        std::wstring before;  // the command line up to the value
        wchar_t fill;
    } shapes[] = {
        {"version with one long argument", shape::version_argument, L"version ", L'v'},
        {"machine-setup with a long nonce", shape::nonce,
         L"machine-setup --no-camera --no-vbcable --install-dir " + ::quoted(install) + L" --log " + ::quoted(log) +
             L" --nonce ",
         L'n'},
        {"vbcable-verify with a long setup path", shape::setup_path,
         L"vbcable-verify --log " + ::quoted(log) + L" --setup " + missing_setup, L's'},
        {"stop-app with a long unknown option", shape::unknown_option, L"stop-app --log " + ::quoted(log) + L" --", L'o'},
        {"stop-app with a long prefix", shape::prefix_value, L"stop-app --log " + ::quoted(log) + L" --prefix C:\\",
         L'p'},
    };
    for (const auto& s : shapes) {
        for (size_t length : value_lengths(prefix_length(s.before))) {
            SCOPED_TRACE(std::string(s.name) + ", value of " + std::to_string(length) + " characters");
            DeleteFileW(log.c_str());
            DeleteFileW(done.c_str());
            std::wstring value(length, s.fill);

            run_result r = run(s.before + value);

            ASSERT_TRUE(r.started) << "start error " << r.start_error;
            ASSERT_TRUE(r.finished);
            std::vector<std::string> messages = log_messages(log);
            switch (s.kind) {
            case shape::version_argument:
                EXPECT_EQ(r.exit_code, 0u);
                break;
            case shape::nonce:
                EXPECT_EQ(r.exit_code, 0u);
                EXPECT_EQ(read_bytes(done), std::string(std::min<size_t>(length, 127), 'n'));
                EXPECT_FALSE(messages.empty());
                break;
            case shape::setup_path: {
                EXPECT_EQ(r.exit_code, 1u);
                std::string kept = to_utf8(missing_setup + value).substr(0, 1023);
                EXPECT_EQ(messages, std::vector<std::string>{"VB-CABLE setup not found at " + kept});
                break;
            }
            case shape::unknown_option:
                EXPECT_EQ(r.exit_code, 2u);
                EXPECT_FALSE(path_exists(log));
                break;
            case shape::prefix_value:
                EXPECT_EQ(r.exit_code, 0u);
                EXPECT_EQ(messages, std::vector<std::string>{"stop-app: 0 process(es) ended"});
                break;
            }
        }
    }
}

// Windows refuses to start a program with a longer command line; Wine passes
// it on. The program has no buffer of the command line's size, so even twice
// the limit only gets its values cut to their fields.
TEST_F(command_line_length, twice_the_limit_under_wine_still_ends_with_the_documented_status)
{
    const std::wstring install = path(L"install");
    ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
    const std::wstring before = L"machine-setup --no-camera --no-vbcable --install-dir " + ::quoted(install) +
                                L" --log " + ::quoted(path(L"run.log")) + L" --nonce ";
    run_result r = run(before + std::wstring(2 * LIMIT - prefix_length(before), L'n'));
    ASSERT_TRUE(r.finished) << "start error " << r.start_error;
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), std::string(127, 'n'));
}

}  // namespace
