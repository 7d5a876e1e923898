// camera-install as the installer starts it: copies of the program signed by
// the payloads' signer, by another signer, unsigned, and with a damaged
// signature, against the prefix's real Program Files, ProgramData and HKLM
// class keys. Each case sets up the machine, runs one command line and checks
// the exit status, the log lines and what the machine holds afterwards.
#include <windows.h>
#include <knownfolders.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/ascii_case.h"
#include "camera/camera_constants.h"
#include "base/paths.h"
#include "base/owners.h"
#include "support/camera_state.h"
#include "support/quote_argument.h"
#include "support/stand_in_services.h"
#include "support/test_support.h"
#include "system/com_class.h"

namespace {

// What the machine holds before a case runs (or-ed together).
enum before_flags : unsigned {
    NOTHING = 0,
    VCAM_V1 = 1,          // the Windows 11 camera, test_camera_good.dll, installed by the program
    DSHOW_V1 = 2,         // the DirectShow camera, test_dshow64/32.dll, installed by the program
    LEGACY = 4,           // %ProgramData%\mirvo\vcam\leftover.txt
    PARENT_UPPER = 8,     // %ProgramFiles%\MIRVO exists, empty
    STRAY_OLD = 16,       // camera folder\stray.old, a moved-aside copy of some earlier run
};

enum class program_copy { signed_by_ours, signed_by_another, unsigned_copy, unreadable_signer };

// What a camera DLL path holds afterwards.
enum class dll_state { no_folder, absent, source, earlier };

// In place of a payload: a folder under the payload's name, which exists but
// cannot be copied.
const wchar_t* const UNREADABLE = L"(a folder)";

std::wstring payload(const std::wstring& relative) { return camera_payload(relative); }

std::wstring program(program_copy copy)
{
    const wchar_t* folder = copy == program_copy::signed_by_ours      ? L"signed"
                            : copy == program_copy::signed_by_another ? L"another"
                            : copy == program_copy::unsigned_copy     ? L"unsigned"
                                                                      : L"corrupt_signer";
    return payload(L"machine\\" + std::wstring(folder) + L"\\mirvo_machine.exe");
}

void replace_all(std::string& text, const std::string& token, const std::string& value)
{
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
        text.replace(at, token.size(), value);
    }
}

class camera_install : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        parent = program_files() + L"\\mirvo";
        camera = parent + L"\\Camera";
        vcam_target = camera + L"\\mirvo_vcam.dll";
        target64 = camera + L"\\mirvo_dshow64.dll";
        target32 = camera + L"\\mirvo_dshow32.dll";
        legacy = program_data() + L"\\mirvo";
        ASSERT_NO_FATAL_FAILURE(clean_machine());
    }

    void TearDown() override
    {
        ASSERT_NO_FATAL_FAILURE(clean_machine());
        temp_folder_test::TearDown();
    }

    void clean_machine() { clean_camera_state(); }

    // A fresh source folder holding the payloads under the names the program looks for.
    std::wstring source_folder(const wchar_t* name, const std::vector<std::pair<std::wstring, std::wstring>>& files)
    {
        std::wstring source = path(name);
        remove_tree(source);
        EXPECT_TRUE(CreateDirectoryW(source.c_str(), nullptr));
        for (const auto& [from, to] : files) {
            if (from == UNREADABLE) {
                EXPECT_TRUE(CreateDirectoryW((source + L"\\" + to).c_str(), nullptr));
                continue;
            }
            EXPECT_TRUE(CopyFileW(payload(from).c_str(), (source + L"\\" + to).c_str(), FALSE)) << to_utf8(from);
        }
        return source;
    }

    std::wstring vcam_source(const wchar_t* name, const std::wstring& dll)
    {
        return source_folder(name, {{dll, L"mirvo_vcam.dll"}});
    }

    std::wstring dshow_source(const wchar_t* name, const std::wstring& dll64, const std::wstring& dll32)
    {
        std::vector<std::pair<std::wstring, std::wstring>> files;
        if (!dll64.empty()) files.emplace_back(dll64, L"mirvo_dshow64.dll");
        if (!dll32.empty()) files.emplace_back(dll32, L"mirvo_dshow32.dll");
        return source_folder(name, files);
    }

    // Runs a copy of the program with camera-install and arguments, logging to
    // log_file; the test camera DLL records its entry-point calls in record_file.
    DWORD install(program_copy copy, const std::wstring& arguments, const std::wstring& log_name = L"install.log")
    {
        run_request request;
        request.program = program(copy);
        request.arguments = L"camera-install " + arguments + L" --log " + ::quoted(path(log_name));
        request.environment = {L"MIRVO_TEST_CAMERA_RECORD=" + record_file()};
        run_result r = run_program(request);
        EXPECT_TRUE(r.finished) << "start error " << r.start_error;
        return r.exit_code;
    }

    std::wstring record_file() const { return path(L"record.txt"); }

    void prepare(unsigned before)
    {
        if (before & PARENT_UPPER) {
            ASSERT_TRUE(CreateDirectoryW((program_files() + L"\\MIRVO").c_str(), nullptr));
        }
        if (before & DSHOW_V1) {
            std::wstring earlier = dshow_source(L"earlier_dshow", L"test_dshow64.dll", L"test_dshow32.dll");
            ASSERT_EQ(install(program_copy::signed_by_ours, L"--dshow-dir " + ::quoted(earlier), L"earlier.log"), 0u);
        }
        if (before & VCAM_V1) {
            std::wstring earlier = vcam_source(L"earlier_vcam", L"test_camera_good.dll");
            ASSERT_EQ(install(program_copy::signed_by_ours, L"--vcam-dir " + ::quoted(earlier), L"earlier.log"), 0u);
        }
        if (before & LEGACY) {
            CreateDirectoryW(legacy.c_str(), nullptr);
            CreateDirectoryW((legacy + L"\\vcam").c_str(), nullptr);
            ASSERT_TRUE(write_bytes(legacy + L"\\vcam\\leftover.txt", "left by an earlier installer"));
        }
        if (before & STRAY_OLD) {
            ASSERT_TRUE(write_bytes(camera + L"\\stray.old", "moved aside long ago"));
        }
        DeleteFileW(record_file().c_str());
    }

    // The log of the case, with {camera}, {target}, {t64}, {t32}, {pf},
    // {source} (the source folder as given) and the payloads in it as the
    // program names them, {p}, {p64} and {p32}, in expected lines filled in.
    std::vector<std::string> expand(const std::vector<std::string>& lines, const std::wstring& source)
    {
        std::string folder = to_utf8(source);
        if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
        std::vector<std::string> out;
        for (std::string line : lines) {
            replace_all(line, "{p}", folder + "mirvo_vcam.dll");
            replace_all(line, "{p64}", folder + "mirvo_dshow64.dll");
            replace_all(line, "{p32}", folder + "mirvo_dshow32.dll");
            replace_all(line, "{camera}", to_utf8(camera));
            replace_all(line, "{target}", to_utf8(vcam_target));
            replace_all(line, "{t64}", to_utf8(target64));
            replace_all(line, "{t32}", to_utf8(target32));
            replace_all(line, "{pf}", to_utf8(program_files()));
            replace_all(line, "{source}", to_utf8(source));
            out.push_back(line);
        }
        return out;
    }

    std::vector<std::string> logged(const std::wstring& log_name = L"install.log")
    {
        return log_messages(path(log_name));
    }

    std::vector<std::string> recorded()
    {
        std::vector<std::string> lines;
        std::string text = read_bytes(record_file());
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    dll_state state_of(const std::wstring& target, const std::wstring& source, const std::wstring& earlier)
    {
        if (!path_exists(camera)) return dll_state::no_folder;
        if (!path_exists(target)) return dll_state::absent;
        std::string bytes = read_bytes(target);
        if (bytes == read_bytes(source)) return dll_state::source;
        if (bytes == read_bytes(earlier)) return dll_state::earlier;
        ADD_FAILURE() << to_utf8(target) << " holds bytes of neither the source nor the earlier install";
        return dll_state::absent;
    }

    // Both virtual-camera classes lead, in the 64-bit view, to the camera DLL's path.
    bool vcam_keys_name_target()
    {
        for (const wchar_t* class_id : vcam_class_ids) {
            if (!same_ignoring_ascii_case(class_value(class_id, L"InprocServer32", nullptr, KEY_WOW64_64KEY).c_str(),
                                          vcam_target.c_str())) {
                return false;
            }
        }
        return true;
    }

    bool any_dshow_key()
    {
        for (const wchar_t* class_id : dshow_class_ids) {
            if (class_exists(class_id, KEY_WOW64_64KEY) || class_exists(class_id, KEY_WOW64_32KEY)) return true;
        }
        return false;
    }

    bool any_dshow_left() { return any_dshow_key() || path_exists(target64) || path_exists(target32); }

    // The four DirectShow keys as a successful install writes them.
    void expect_dshow_keys_name_targets()
    {
        for (int i = 0; i < 2; ++i) {
            SCOPED_TRACE(to_utf8(dshow_class_ids[i]));
            for (DWORD view : {static_cast<DWORD>(KEY_WOW64_64KEY), static_cast<DWORD>(KEY_WOW64_32KEY)}) {
                const std::wstring& target = view == KEY_WOW64_64KEY ? target64 : target32;
                EXPECT_EQ(class_value(dshow_class_ids[i], nullptr, nullptr, view), dshow_friendly_names[i]);
                EXPECT_EQ(class_value(dshow_class_ids[i], L"InprocServer32", nullptr, view), target);
                EXPECT_EQ(class_value(dshow_class_ids[i], L"InprocServer32", L"ThreadingModel", view), L"Both");
            }
        }
    }

    int old_files()
    {
        WIN32_FIND_DATAW data;
        unique_find find(FindFirstFileW((camera + L"\\*.old").c_str(), &data));
        int count = 0;
        if (find) {
            do ++count;
            while (FindNextFileW(find.get(), &data));
        }
        return count;
    }

    // dll_holder.exe with the DLLs loaded (or, after "--open", the files open),
    // for as long as this object lives.
    class holder {
    public:
        holder(camera_install* test, const std::vector<std::wstring>& dlls) : ready_file_(test->path(L"holder.ready"))
        {
            DeleteFileW(ready_file_.c_str());
            std::wstring command = ::quoted(built_program(L"dll_holder.exe")) + L" " + ::quoted(ready_file_);
            for (const std::wstring& dll : dlls) command += L" " + ::quoted(dll);
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info = {};
            if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
                ADD_FAILURE() << "dll_holder did not start (" << GetLastError() << ")";
                return;
            }
            CloseHandle(info.hThread);
            process_.reset(info.hProcess);
        }
        ~holder()
        {
            if (!process_) return;
            TerminateProcess(process_.get(), 0);
            WaitForSingleObject(process_.get(), 10000);
        }
        // Waits until every DLL is loaded; false when the holder ended first.
        bool ready()
        {
            for (int i = 0; process_ && i < 200; ++i) {
                if (path_exists(ready_file_)) return true;
                if (WaitForSingleObject(process_.get(), 50) == WAIT_OBJECT_0) return false;
            }
            return false;
        }

    private:
        std::wstring ready_file_;
        unique_handle process_;
    };

    std::wstring parent;
    std::wstring camera;
    std::wstring vcam_target;
    std::wstring target64;
    std::wstring target32;
    std::wstring legacy;
};

TEST_F(camera_install, windows_11_camera_ends_as_each_step_leaves_the_machine)
{
    const std::string done = "MIRVO Camera registered from {camera}";
    const std::string unregistered = "unregister {target}";
    const std::string registered = "register {target}";
    const std::string no_pointing = "the camera classes do not point at {target} after registering";
    static const struct {
        const char* name;
        unsigned before;
        program_copy copy;
        const wchar_t* dll;     // payload copied in as mirvo_vcam.dll; null: none
        const wchar_t* suffix;  // appended to the source folder on the command line
        bool also_dshow_dir;
        DWORD status;
        std::vector<std::string> log;
        std::vector<std::string> record;  // the DLL's own entry points, as it saw them called
        dll_state dll_after;
        bool keys_name_target;
        bool dshow_left;
        bool legacy_left;
    } cases[] = {
        {"first install, folder without separator", LEGACY, program_copy::signed_by_ours, L"test_camera_good_v2.dll",
         L"", false, 0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
        {"folder with trailing backslash", NOTHING, program_copy::signed_by_ours, L"test_camera_good_v2.dll", L"\\",
         false, 0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
        {"folder with trailing slash", NOTHING, program_copy::signed_by_ours, L"test_camera_good_v2.dll", L"/", false,
         0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
        {"parent folder named in capitals gets its name", PARENT_UPPER, program_copy::signed_by_ours,
         L"test_camera_good_v2.dll", L"", false, 0, {"{pf}\\MIRVO is now {pf}\\mirvo", done},
         {unregistered, registered}, dll_state::source, true, false, false},
        {"missing DLL changes nothing", LEGACY, program_copy::signed_by_ours, nullptr, L"/", false, 1,
         {"camera DLL missing at {source}mirvo_vcam.dll - nothing to register"}, {}, dll_state::no_folder, false,
         false, true},
        {"identical DLL in place: not copied, every later step again", VCAM_V1, program_copy::signed_by_ours,
         L"test_camera_good.dll", L"", false, 0, {"{target} is already in place", done}, {unregistered, registered},
         dll_state::source, true, false, false},
        {"update replaces the earlier DLL", VCAM_V1, program_copy::signed_by_ours, L"test_camera_good_v2.dll", L"",
         false, 0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
        // A refused payload is refused where Setup left it: nothing on the machine changes.
        {"DLL of another signer: the earlier camera stays as it was", VCAM_V1 | LEGACY, program_copy::signed_by_ours,
         L"another\\test_camera_good_v2.dll", L"", false, 1,
         {"{p} is signed by \"Another Signer\", not by \"MIRVO Test Signer\" - refusing to register it"}, {},
         dll_state::earlier, true, false, true},
        {"unsigned DLL: nothing placed", NOTHING, program_copy::signed_by_ours, L"unsigned\\test_camera_good.dll", L"",
         false, 1, {"{p} does not carry a valid signature - refusing to register it"}, {}, dll_state::no_folder,
         false, false, false},
        {"program of another signer refuses ours", NOTHING, program_copy::signed_by_another, L"test_camera_good.dll",
         L"", false, 1,
         {"{p} is signed by \"MIRVO Test Signer\", not by \"Another Signer\" - refusing to register it"}, {},
         dll_state::no_folder, false, false, false},
        {"unsigned program takes any DLL", NOTHING, program_copy::unsigned_copy, L"another\\test_camera_good.dll",
         L"", false, 0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
        {"signed program whose signer cannot be read refuses", NOTHING, program_copy::unreadable_signer,
         L"test_camera_good.dll", L"", false, 1,
         {"cannot read the signer of this program - refusing to register {p}"}, {}, dll_state::no_folder, false,
         false, false},
        {"DLL that cannot be read: nothing placed", VCAM_V1, program_copy::signed_by_ours, UNREADABLE, L"", false, 1,
         {"copy to {target}.new failed (5)",
          "the camera DLL could not be put in place intact; the camera this machine already has is untouched"},
         {}, dll_state::earlier, true, false, false},
        {"no DllUnregisterServer: logged, goes on", NOTHING, program_copy::signed_by_ours,
         L"test_camera_no_unregister.dll", L"", false, 0, {"DllUnregisterServer returned 0x8007007f (continuing)", done},
         {registered}, dll_state::source, true, false, false},
        {"failing DllUnregisterServer: logged, goes on", NOTHING, program_copy::signed_by_ours,
         L"test_camera_unregister_fails.dll", L"", false, 0,
         {"DllUnregisterServer returned 0x80004005 (continuing)", done}, {unregistered, registered},
         dll_state::source, true, false, false},
        {"no DllRegisterServer: DirectShow camera gone all the same", DSHOW_V1 | LEGACY, program_copy::signed_by_ours,
         L"test_camera_no_register.dll", L"", false, 1,
         {"DllRegisterServer returned 0x8007007f - the camera is NOT registered"}, {unregistered}, dll_state::source,
         false, false, true},
        {"failing DllRegisterServer: DirectShow camera gone all the same", DSHOW_V1, program_copy::signed_by_ours,
         L"test_camera_register_fails.dll", L"", false, 1,
         {"DllRegisterServer returned 0x80004005 - the camera is NOT registered"}, {unregistered, registered},
         dll_state::source, false, false, false},
        {"classes registered in the 32-bit view only", LEGACY, program_copy::signed_by_ours,
         L"test_camera_view32_only.dll", L"", false, 1, {no_pointing}, {unregistered, registered}, dll_state::source,
         false, false, true},
        {"classes registered with another path", NOTHING, program_copy::signed_by_ours, L"test_camera_other_path.dll",
         L"", false, 1, {no_pointing}, {unregistered, registered}, dll_state::source, false, false, false},
        {"classes registered with the path in other letter case", NOTHING, program_copy::signed_by_ours,
         L"test_camera_other_case.dll", L"", false, 0, {done}, {unregistered, registered}, dll_state::source, true,
         false, false},
        {"DirectShow camera before: both views and both DLLs gone", DSHOW_V1, program_copy::signed_by_ours,
         L"test_camera_good.dll", L"", false, 0, {done}, {unregistered, registered}, dll_state::source, true, false,
         false},
        {"--vcam-dir wins over --dshow-dir", NOTHING, program_copy::signed_by_ours, L"test_camera_good.dll", L"",
         true, 0, {done}, {unregistered, registered}, dll_state::source, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clean_machine());
        ASSERT_NO_FATAL_FAILURE(prepare(c.before));
        std::wstring source = c.dll ? vcam_source(L"source", c.dll) : source_folder(L"source", {});
        std::wstring given = source + c.suffix;
        std::wstring arguments = L"--vcam-dir " + ::quoted(given);
        if (c.also_dshow_dir) {
            arguments += L" --dshow-dir " +
                         ::quoted(dshow_source(L"dshow_source", L"test_dshow64.dll", L"test_dshow32.dll"));
        }
        DeleteFileW(path(L"install.log").c_str());

        EXPECT_EQ(install(c.copy, arguments), c.status);
        EXPECT_EQ(logged(), expand(c.log, given));
        EXPECT_EQ(recorded(), expand(c.record, given));
        EXPECT_EQ(state_of(vcam_target, source + L"\\mirvo_vcam.dll", payload(L"test_camera_good.dll")), c.dll_after);
        EXPECT_EQ(vcam_keys_name_target(), c.keys_name_target);
        EXPECT_EQ(any_dshow_left(), c.dshow_left);
        EXPECT_EQ(path_exists(legacy), c.legacy_left);
        EXPECT_FALSE(path_exists(vcam_target + L".new")) << "staging copy left behind";
    }
}

TEST_F(camera_install, directshow_camera_ends_as_each_step_leaves_the_machine)
{
    const std::string done = "machine-wide camera classes registered OK (apps run as administrator can open the camera)";
    enum class keys { none, targets };
    static const struct {
        const char* name;
        unsigned before;
        program_copy copy;
        const wchar_t* dll64;  // payloads copied in; empty: none
        const wchar_t* dll32;
        const wchar_t* suffix;
        DWORD status;
        std::vector<std::string> log;
        dll_state after64;
        dll_state after32;
        keys keys_after;
        int old_files_after;
    } cases[] = {
        {"first install, folder without separator", NOTHING, program_copy::signed_by_ours, L"test_dshow64.dll",
         L"test_dshow32.dll", L"", 0, {done}, dll_state::source, dll_state::source, keys::targets, 0},
        {"folder with trailing backslash", NOTHING, program_copy::signed_by_ours, L"test_dshow64.dll",
         L"test_dshow32.dll", L"\\", 0, {done}, dll_state::source, dll_state::source, keys::targets, 0},
        {"folder with trailing slash", NOTHING, program_copy::signed_by_ours, L"test_dshow64.dll", L"test_dshow32.dll",
         L"/", 0, {done}, dll_state::source, dll_state::source, keys::targets, 0},
        {"32-bit DLL missing changes nothing", NOTHING, program_copy::signed_by_ours, L"test_dshow64.dll", L"",
         L"\\", 1, {"DirectShow filter missing in {source} - nothing to register"}, dll_state::no_folder,
         dll_state::no_folder, keys::none, 0},
        {"64-bit DLL missing changes nothing", DSHOW_V1, program_copy::signed_by_ours, L"", L"test_dshow32_v2.dll",
         L"", 1, {"DirectShow filter missing in {source} - nothing to register"}, dll_state::earlier,
         dll_state::earlier, keys::targets, 0},
        {"update: earlier DLLs moved aside, every .old deleted after success", DSHOW_V1 | STRAY_OLD,
         program_copy::signed_by_ours, L"test_dshow64_v2.dll", L"test_dshow32_v2.dll", L"", 0, {done},
         dll_state::source, dll_state::source, keys::targets, 0},
        {"identical DLLs in place: not copied, checks, writes and .old deletion again", DSHOW_V1 | STRAY_OLD,
         program_copy::signed_by_ours, L"test_dshow64.dll", L"test_dshow32.dll", L"", 0,
         {"{t64} is already in place", "{t32} is already in place", done}, dll_state::source, dll_state::source,
         keys::targets, 0},
        // Both payloads are checked where Setup left them, before either is placed:
        // a refused update leaves the earlier camera exactly as it was.
        {"64-bit DLL of another signer: the earlier camera stays as it was", DSHOW_V1, program_copy::signed_by_ours,
         L"another\\test_dshow64_v2.dll", L"another\\test_dshow32_v2.dll", L"", 1,
         {"{p64} is signed by \"Another Signer\", not by \"MIRVO Test Signer\" - refusing to register it"},
         dll_state::earlier, dll_state::earlier, keys::targets, 0},
        {"32-bit DLL of another signer: the earlier camera stays as it was", DSHOW_V1 | STRAY_OLD,
         program_copy::signed_by_ours, L"test_dshow64_v2.dll", L"another\\test_dshow32_v2.dll", L"", 1,
         {"{p32} is signed by \"Another Signer\", not by \"MIRVO Test Signer\" - refusing to register it"},
         dll_state::earlier, dll_state::earlier, keys::targets, 1},
        {"32-bit DLL cannot be read: reported before any check, nothing moved aside", DSHOW_V1,
         program_copy::signed_by_ours, L"another\\test_dshow64_v2.dll", UNREADABLE, L"", 1,
         {"copy to {t32} failed (5)"}, dll_state::earlier, dll_state::earlier, keys::targets, 0},
        {"64-bit DLL cannot be read on a fresh machine: the staging name is reported", NOTHING,
         program_copy::signed_by_ours, UNREADABLE, L"test_dshow32_v2.dll", L"", 1, {"copy to {t64}.new failed (5)"},
         dll_state::no_folder, dll_state::no_folder, keys::none, 0},
        {"unsigned 64-bit DLL on a fresh machine: nothing placed, no keys", NOTHING, program_copy::signed_by_ours,
         L"unsigned\\test_dshow64.dll", L"test_dshow32.dll", L"", 1,
         {"{p64} does not carry a valid signature - refusing to register it"}, dll_state::no_folder,
         dll_state::no_folder, keys::none, 0},
        {"unsigned program takes DLLs of another signer", NOTHING, program_copy::unsigned_copy,
         L"another\\test_dshow64.dll", L"another\\test_dshow32.dll", L"", 0, {done}, dll_state::source,
         dll_state::source, keys::targets, 0},
        {"signed program whose signer cannot be read refuses", NOTHING, program_copy::unreadable_signer,
         L"test_dshow64.dll", L"test_dshow32.dll", L"", 1,
         {"cannot read the signer of this program - refusing to register {p64}"}, dll_state::no_folder,
         dll_state::no_folder, keys::none, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clean_machine());
        ASSERT_NO_FATAL_FAILURE(prepare(c.before));
        std::wstring source = dshow_source(L"source", c.dll64, c.dll32);
        std::wstring given = source + c.suffix;
        DeleteFileW(path(L"install.log").c_str());

        EXPECT_EQ(install(c.copy, L"--dshow-dir " + ::quoted(given)), c.status);
        EXPECT_EQ(logged(), expand(c.log, given));
        EXPECT_EQ(state_of(target64, source + L"\\mirvo_dshow64.dll", payload(L"test_dshow64.dll")), c.after64);
        EXPECT_EQ(state_of(target32, source + L"\\mirvo_dshow32.dll", payload(L"test_dshow32.dll")), c.after32);
        if (c.keys_after == keys::targets) {
            expect_dshow_keys_name_targets();
        } else {
            EXPECT_FALSE(any_dshow_key());
        }
        EXPECT_EQ(old_files(), c.old_files_after);
        EXPECT_FALSE(path_exists(vcam_target));
    }
}

// An app that has the DirectShow DLLs loaded (the holder LoadLibrary's them, as
// an app that opened the camera does) cannot keep an update out: the loaded
// files are moved aside and stay while they are held; the next successful run
// deletes them.
TEST_F(camera_install, directshow_update_while_an_app_has_the_dlls_loaded)
{
    const std::string done = "machine-wide camera classes registered OK (apps run as administrator can open the camera)";
    ASSERT_NO_FATAL_FAILURE(prepare(DSHOW_V1));
    std::wstring source = dshow_source(L"source", L"test_dshow64_v2.dll", L"test_dshow32_v2.dll");
    {
        holder app(this, {target64, target32});
        ASSERT_TRUE(app.ready());
        EXPECT_EQ(install(program_copy::signed_by_ours, L"--dshow-dir " + ::quoted(source)), 0u);
        EXPECT_EQ(logged(), expand({done}, source));
        EXPECT_EQ(read_bytes(target64), read_bytes(payload(L"test_dshow64_v2.dll")));
        EXPECT_EQ(read_bytes(target32), read_bytes(payload(L"test_dshow32_v2.dll")));
        expect_dshow_keys_name_targets();
        EXPECT_EQ(old_files(), 2) << "a loaded copy was deleted, or not moved aside";
    }
    DeleteFileW(path(L"install.log").c_str());
    EXPECT_EQ(install(program_copy::signed_by_ours, L"--dshow-dir " + ::quoted(source)), 0u);
    EXPECT_EQ(logged(), expand({"{t64} is already in place", "{t32} is already in place", done}, source));
    EXPECT_EQ(old_files(), 0);
}

// An app that opens the camera loads whatever DLL the class keys of the earlier
// install name, at any moment: a thread of this test does so in a loop while a
// refused update runs, and compares what lies at that path with the refused
// payload each time. The refused bytes never appear there, and afterwards the
// earlier camera is in place, whole, and registered.
class camera_app_loop {
public:
    camera_app_loop(std::wstring target, std::string refused) : target_(std::move(target)), refused_(std::move(refused))
    {
        worker_ = std::thread([this] { run(); });
    }
    ~camera_app_loop() { stop(); }
    void stop()
    {
        stopping_ = true;
        if (worker_.joinable()) worker_.join();
    }
    int looks = 0;
    int loads = 0;
    int refused_seen = 0;

private:
    void run()
    {
        while (!stopping_) {
            ++looks;
            // 64-bit DLLs are loaded as an app loads them; the 32-bit one is only read.
            HMODULE loaded = LoadLibraryExW(target_.c_str(), nullptr, 0);
            if (loaded != nullptr) ++loads;
            if (read_bytes(target_) == refused_) ++refused_seen;
            if (loaded != nullptr) FreeLibrary(loaded);
        }
    }
    std::wstring target_;
    std::string refused_;
    std::atomic<bool> stopping_{false};
    std::thread worker_;
};

TEST_F(camera_install, refused_update_over_a_working_camera_never_puts_the_refused_bytes_where_apps_load)
{
    static const struct {
        const char* name;
        bool dshow;
        const wchar_t* refused;  // payload of another signer
    } cases[] = {
        {"Windows 11 camera", false, L"another\\test_camera_good_v2.dll"},
        {"DirectShow camera, 64-bit DLL refused", true, L"another\\test_dshow64_v2.dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clean_machine());
        ASSERT_NO_FATAL_FAILURE(prepare(c.dshow ? DSHOW_V1 : VCAM_V1));
        std::wstring source = c.dshow ? dshow_source(L"source", c.refused, L"test_dshow32_v2.dll")
                                      : vcam_source(L"source", c.refused);
        const std::wstring& target = c.dshow ? target64 : vcam_target;
        std::string earlier = read_bytes(target);
        DeleteFileW(path(L"install.log").c_str());

        camera_app_loop app(target, read_bytes(payload(c.refused)));
        DWORD status = install(program_copy::signed_by_ours,
                               (c.dshow ? L"--dshow-dir " : L"--vcam-dir ") + ::quoted(source));
        app.stop();

        EXPECT_EQ(status, 1u);
        EXPECT_EQ(logged(), expand({std::string(c.dshow ? "{p64}" : "{p}") +
                                    " is signed by \"Another Signer\", not by \"MIRVO Test Signer\" - refusing to "
                                    "register it"},
                                   source));
        EXPECT_GT(app.loads, 0) << "the loop never loaded the registered DLL";
        EXPECT_EQ(app.refused_seen, 0) << "of " << app.looks << " looks";
        EXPECT_EQ(read_bytes(target), earlier);
        if (c.dshow) {
            EXPECT_EQ(read_bytes(target32), read_bytes(payload(L"test_dshow32.dll")));
            expect_dshow_keys_name_targets();
            EXPECT_EQ(old_files(), 0);
        } else {
            EXPECT_TRUE(vcam_keys_name_target());
        }
    }
}

// A failing class write does not stop the other three; the run fails and keeps
// the moved-aside copies. The 32-bit view's key of the second class is made
// volatile beforehand, so its non-volatile "InprocServer32" cannot be created.
TEST_F(camera_install, a_failing_class_write_leaves_the_other_three_and_the_moved_aside_copies)
{
    ASSERT_NO_FATAL_FAILURE(prepare(DSHOW_V1));
    delete_class(dshow_class_ids[1], KEY_WOW64_32KEY);
    {
        unique_key volatile_key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(CLSID_ROOT) + L"\\" + dshow_class_ids[1]).c_str(),
                                  0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                                  volatile_key.put(), nullptr),
                  ERROR_SUCCESS);
    }
    std::wstring source = dshow_source(L"source", L"test_dshow64_v2.dll", L"test_dshow32_v2.dll");

    EXPECT_EQ(install(program_copy::signed_by_ours, L"--dshow-dir " + ::quoted(source)), 1u);
    EXPECT_EQ(logged(), std::vector<std::string>{"class " + to_utf8(dshow_class_ids[1]) + ": not written (" +
                                                 std::to_string(ERROR_CHILD_MUST_BE_VOLATILE) + ")"});
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(class_value(dshow_class_ids[i], L"InprocServer32", nullptr, KEY_WOW64_64KEY), target64);
    }
    EXPECT_EQ(class_value(dshow_class_ids[0], L"InprocServer32", nullptr, KEY_WOW64_32KEY), target32);
    EXPECT_EQ(class_value(dshow_class_ids[1], nullptr, nullptr, KEY_WOW64_32KEY), L"MIRVO Portrait");
    EXPECT_EQ(class_value(dshow_class_ids[1], L"InprocServer32", nullptr, KEY_WOW64_32KEY), L"");
    EXPECT_EQ(read_bytes(target64), read_bytes(payload(L"test_dshow64_v2.dll")));
    EXPECT_EQ(read_bytes(target32), read_bytes(payload(L"test_dshow32_v2.dll")));
    EXPECT_EQ(old_files(), 2);
}

// Stands in for the Windows camera Frame Server holding the old camera DLL:
// test_service.exe runs as "FrameServer" holding it without delete sharing
// (Wine has no Frame Server and no "FrameServerMonitor").
TEST_F(camera_install, frame_server_holding_the_old_dll_is_stopped_and_the_rename_tried_again)
{
    unique_service manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager) << GetLastError();
    for (const wchar_t* name : {L"FrameServerMonitor", L"FrameServer"}) remove_stand_in_service(manager.get(), name);
    ASSERT_NO_FATAL_FAILURE(prepare(VCAM_V1));
    std::wstring events = path(L"events.txt");
    ASSERT_TRUE(install_stand_in_service(manager.get(), L"FrameServer", L"stops", 0, events, true, vcam_target));
    std::wstring source = vcam_source(L"source", L"test_camera_good_v2.dll");

    DWORD status = install(program_copy::signed_by_ours, L"--vcam-dir " + ::quoted(source));
    remove_stand_in_service(manager.get(), L"FrameServer");

    EXPECT_EQ(status, 0u);
    EXPECT_EQ(logged(), expand({"renaming over {target} refused (5)",
                                "stopping the Windows camera service so a loaded camera DLL is released",
                                "service FrameServerMonitor: not opened (1060)", "MIRVO Camera registered from {camera}"},
                               source));
    EXPECT_EQ(service_events(events), (std::vector<std::string>{"FrameServer stop requested", "FrameServer stopped"}));
    EXPECT_EQ(read_bytes(vcam_target), read_bytes(payload(L"test_camera_good_v2.dll")));
    EXPECT_TRUE(vcam_keys_name_target());
}

}  // namespace
