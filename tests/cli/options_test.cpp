#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli/options.h"
#include "support/test_support.h"

namespace {

struct parsed {
    int ok = 0;
    setup_options* options = nullptr;
    std::vector<unsigned char> storage;
};

// Parses "program verb args..." into a zero-filled record, as the front end does.
parsed parse(std::vector<std::wstring> args)
{
    args.insert(args.begin(), {L"mirvo_machine.exe", L"stop-app"});
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    parsed result;
    result.storage.assign(sizeof(setup_options), 0);
    result.options = reinterpret_cast<setup_options*>(result.storage.data());
    result.ok = parse_options(static_cast<int>(argv.size()), argv.data(), result.options);
    return result;
}

TEST(parse_options, a_verb_alone_leaves_every_field_empty)
{
    parsed p = parse({});
    ASSERT_EQ(p.ok, 1);
    EXPECT_TRUE(std::all_of(p.storage.begin(), p.storage.end(), [](unsigned char b) { return b == 0; }));
}

TEST(parse_options, fills_every_field_from_its_option)
{
    parsed p = parse({L"--install-dir", L"D:\\Apps\\mirvo", L"--vcam-dir", L"v", L"--dshow-dir", L"d",
                      L"--setup", L"s.exe", L"--nonce", L"n0", L"--log", L"l.log", L"--cwd", L"c",
                      L"--exe-env", L"E", L"--args-env", L"A", L"--fallback-env", L"F", L"--prefix",
                      L"p1", L"--setup-pid", L"12", L"--wait-pid", L"34", L"--no-camera",
                      L"--no-vbcable", L"--vbcable", L"--wait-for-files"});
    ASSERT_EQ(p.ok, 1);
    const setup_options& o = *p.options;
    EXPECT_STREQ(o.install_dir, L"D:\\Apps\\mirvo");
    EXPECT_STREQ(o.vcam_dir, L"v");
    EXPECT_STREQ(o.dshow_dir, L"d");
    EXPECT_STREQ(o.setup_path, L"s.exe");
    EXPECT_STREQ(o.nonce, L"n0");
    EXPECT_STREQ(o.log_file, L"l.log");
    EXPECT_STREQ(o.cwd, L"c");
    EXPECT_STREQ(o.exe_env, L"E");
    EXPECT_STREQ(o.args_env, L"A");
    EXPECT_STREQ(o.fallback_env, L"F");
    EXPECT_EQ(o.prefix_count, 1);
    EXPECT_STREQ(o.prefixes[0], L"p1");
    EXPECT_EQ(o.setup_pid, 12u);
    EXPECT_EQ(o.wait_pid, 34u);
    EXPECT_EQ(o.no_camera, 1u);
    EXPECT_EQ(o.no_vbcable, 1u);
    EXPECT_EQ(o.remove_vbcable, 1u);
    EXPECT_EQ(o.wait_for_files, 1u);
}

TEST(parse_options, refuses_what_is_not_an_option)
{
    static const struct {
        const char* name;
        std::vector<std::wstring> args;
    } cases[] = {
        {"other case", {L"--Log", L"x"}},
        {"name=value form", {L"--log=x"}},
        {"name with a prefix of an option", {L"--install"}},
        {"bare word", {L"hello"}},
        {"value option without value", {L"--install-dir"}},
        {"value option last after good ones", {L"--no-camera", L"--nonce", L"n", L"--setup"}},
        {"single dash", {L"-log", L"x"}},
        {"empty argument", {L""}},
        {"ninth prefix", {L"--prefix", L"1", L"--prefix", L"2", L"--prefix", L"3", L"--prefix", L"4",
                          L"--prefix", L"5", L"--prefix", L"6", L"--prefix", L"7", L"--prefix", L"8",
                          L"--prefix", L"9"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.args).ok, 0) << c.name;
    }
}

TEST(parse_options, a_value_is_taken_whatever_it_looks_like)
{
    parsed p = parse({L"--install-dir", L"--log"});
    ASSERT_EQ(p.ok, 1);
    EXPECT_STREQ(p.options->install_dir, L"--log");
    EXPECT_STREQ(p.options->log_file, L"");
}

TEST(parse_options, repeated_options)
{
    parsed p = parse({L"--install-dir", L"first-and-longer", L"--install-dir", L"second",
                      L"--wait-for-files", L"--wait-for-files"});
    ASSERT_EQ(p.ok, 1);
    EXPECT_STREQ(p.options->install_dir, L"second");
    // The earlier value is fully overwritten, not just its first characters.
    EXPECT_EQ(p.options->install_dir[7], L'\0');
    EXPECT_EQ(p.options->install_dir[10], L'\0');
    EXPECT_EQ(p.options->wait_for_files, 1u);

    std::vector<std::wstring> eight;
    for (int i = 1; i <= 8; ++i) eight.insert(eight.end(), {L"--prefix", L"P" + std::to_wstring(i)});
    p = parse(eight);
    ASSERT_EQ(p.ok, 1);
    ASSERT_EQ(p.options->prefix_count, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::wstring(p.options->prefixes[i]), L"P" + std::to_wstring(i + 1));
}

TEST(parse_options, long_values_are_cut_to_their_field)
{
    parsed p = parse({L"--install-dir", std::wstring(2000, L'i'), L"--nonce", std::wstring(200, L'n'),
                      L"--exe-env", std::wstring(100, L'e'), L"--prefix", std::wstring(1024, L'p')});
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(wcslen(p.options->install_dir), 1023u);
    EXPECT_EQ(wcslen(p.options->nonce), 127u);
    EXPECT_EQ(wcslen(p.options->exe_env), 63u);
    EXPECT_EQ(wcslen(p.options->prefixes[0]), 1023u);
    EXPECT_EQ(p.options->prefixes[1][0], L'\0');
}

TEST(parse_options, install_dir_loses_trailing_separators_down_to_three_characters)
{
    static constexpr struct {
        const wchar_t* value;
        const wchar_t* kept;
    } cases[] = {
        {L"D:\\Apps\\mirvo\\", L"D:\\Apps\\mirvo"},
        {L"D:\\Apps\\mirvo/", L"D:\\Apps\\mirvo"},
        {L"D:\\Apps\\mirvo\\/\\", L"D:\\Apps\\mirvo"},
        {L"C:\\", L"C:\\"},
        {L"C:\\\\", L"C:\\"},
        {L"\\\\\\\\", L"\\\\\\"},
        {L"", L""},
        {L"ab\\", L"ab\\"},
    };
    for (const auto& c : cases) {
        parsed p = parse({L"--install-dir", c.value, L"--log", L"D:\\logs\\"});
        ASSERT_EQ(p.ok, 1);
        EXPECT_STREQ(p.options->install_dir, c.kept) << to_utf8(c.value);
        EXPECT_STREQ(p.options->log_file, L"D:\\logs\\");  // no other field is trimmed
    }
}

TEST(parse_options, process_ids_convert_like_wcstoul)
{
    static constexpr struct {
        const wchar_t* value;
        uint32_t pid;
    } cases[] = {
        {L"abc", 0},          {L"12abc", 12},       {L"  42", 42},
        {L"4294967295", 4294967295u}, {L"4294967296", 4294967295u}, {L"99999999999999999999", 4294967295u},
        {L"-1", 4294967295u}, {L"+7", 7},           {L"", 0},
        {L"0x10", 0},         {L"-2", 4294967294u},
    };
    for (const auto& c : cases) {
        parsed p = parse({L"--setup-pid", c.value, L"--wait-pid", c.value});
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(p.options->setup_pid, c.pid) << to_utf8(c.value);
        EXPECT_EQ(p.options->wait_pid, c.pid) << to_utf8(c.value);
    }
}

// Thousands of random argument vectors: parsing never crashes, and whatever it
// accepts leaves every field terminated inside its buffer and at most 8 prefixes.
TEST(parse_options, random_argument_vectors_keep_the_record_sound)
{
    static const wchar_t* const names[] = {
        L"--install-dir", L"--vcam-dir", L"--dshow-dir", L"--setup", L"--nonce", L"--log", L"--cwd",
        L"--exe-env", L"--args-env", L"--fallback-env", L"--prefix", L"--setup-pid", L"--wait-pid",
        L"--no-camera", L"--no-vbcable", L"--vbcable", L"--wait-for-files", L"--LOG", L"--bogus", L"-",
        L"x"};
    static const wchar_t alphabet[] = L"ab\\/:. -%\u00e9\u65e5\xd83d\xdcf7\"0123456789";
    std::mt19937 random(20261210);
    auto random_text = [&](size_t length) {
        std::wstring text;
        for (size_t i = 0; i < length; ++i) text += alphabet[random() % (sizeof(alphabet) / sizeof(wchar_t) - 1)];
        return text;
    };
    int accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::wstring> args;
        int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            if (random() % 3 != 0) {
                args.push_back(names[random() % (sizeof(names) / sizeof(names[0]))]);
            } else {
                static const size_t lengths[] = {0, 1, 3, 4, 63, 64, 127, 128, 1023, 1024, 1500};
                args.push_back(random_text(lengths[random() % (sizeof(lengths) / sizeof(lengths[0]))]));
            }
        }
        parsed p = parse(args);
        if (!p.ok) continue;
        ++accepted;
        const setup_options& o = *p.options;
        ASSERT_GE(o.prefix_count, 0);
        ASSERT_LE(o.prefix_count, MAX_PREFIXES);
        const wchar_t* fields[] = {o.install_dir, o.vcam_dir, o.dshow_dir, o.setup_path, o.log_file, o.cwd};
        for (const wchar_t* field : fields) ASSERT_EQ(field[PATH_CHARS - 1], L'\0');
        for (const auto& prefix : o.prefixes) ASSERT_EQ(prefix[PATH_CHARS - 1], L'\0');
        for (int i = o.prefix_count; i < MAX_PREFIXES; ++i) ASSERT_EQ(o.prefixes[i][0], L'\0');
        ASSERT_EQ(o.nonce[NONCE_CHARS - 1], L'\0');
        ASSERT_EQ(o.exe_env[ENV_NAME_CHARS - 1], L'\0');
        ASSERT_EQ(o.args_env[ENV_NAME_CHARS - 1], L'\0');
        ASSERT_EQ(o.fallback_env[ENV_NAME_CHARS - 1], L'\0');
        size_t length = wcslen(o.install_dir);
        if (length > 3) {
            ASSERT_NE(o.install_dir[length - 1], L'\\');
            ASSERT_NE(o.install_dir[length - 1], L'/');
        }
        for (uint32_t flag : {o.no_camera, o.no_vbcable, o.wait_for_files, o.remove_vbcable}) ASSERT_LE(flag, 1u);
    }
    // The generator must reach both outcomes, or the invariants were never exercised.
    EXPECT_GT(accepted, 200);
}

}  // namespace
