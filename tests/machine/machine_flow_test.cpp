// machine-setup and machine-remove as whole runs of the real program, started
// elevated the way Setup and the uninstaller start it. The Windows build is
// switched in the prefix's registry (a new process reads it at start); the
// Windows Firewall policy object is played by test_firewall.dll, registered
// for NetFwPolicy2 in place of Wine's own for the length of a test.
#include <string>
#include <vector>

#include <shlobj.h>

#include <algorithm>

#include "base/owners.h"
#include "support/quote_argument.h"
#include "support/vbcable_standin.h"
#include "support/start_process.h"
#include "support/test_support.h"
#include "support/unix_links.h"

namespace {

const wchar_t VERSION_KEY[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t FIREWALL_SERVER_KEY[] = L"SOFTWARE\\Classes\\CLSID\\{E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}\\InprocServer32";

const char BANNER[] = "-------- MIRVO elevated setup --------";
const char NO_CAMERA[] = "virtual camera: not selected; skipping (the app offers it again before the first go-live)";
const char NO_VBCABLE[] = "VB-CABLE: not selected; skipping (Advanced Settings can install the virtual microphone later)";
const char CAMERA_FAILED[] = "the camera was NOT registered - the app installs it before going live";
const char NO_PAYLOAD[] = "no VB-CABLE payload in this build; skipping";
const char REMOVAL_BANNER[] = "-------- MIRVO elevated removal --------";
const char FIREWALL_DONE[] = "firewall rules left by earlier installers removed (if there were any)";
const char KEPT[] = "VB-CABLE: kept (the uninstaller was told to keep it)";

// A string value of an open key; empty when missing.
std::wstring string_value(HKEY key, const wchar_t* name)
{
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS) {
        return L"";
    }
    return value;
}

void set_string(HKEY key, const wchar_t* name, const std::wstring& value)
{
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

class machine_flow_test : public temp_folder_test {
protected:
    void SetUp() override
    {
        temp_folder_test::SetUp();
        install = path(L"install");
        ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
        log = path(L"machine.log");
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, VERSION_KEY, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, version.put()),
                  ERROR_SUCCESS);
        for (const wchar_t* name : {L"CurrentBuild", L"CurrentBuildNumber", L"CurrentVersion"}) {
            saved_version.push_back(string_value(version.get(), name));
        }
        wchar_t program_files[MAX_PATH];
        ExpandEnvironmentStringsW(L"%ProgramFiles%", program_files, MAX_PATH);
        vbcable_presence = std::wstring(program_files) + L"\\VB\\CABLE\\VBCABLE_ControlPanel.exe";
    }

    void TearDown() override
    {
        const wchar_t* names[] = {L"CurrentBuild", L"CurrentBuildNumber", L"CurrentVersion"};
        for (size_t i = 0; i < saved_version.size(); ++i) set_string(version.get(), names[i], saved_version[i]);
        RegDeleteValueW(version.get(), L"CurrentMajorVersionNumber");
        restore_firewall_server();
        // A stand-in that was started must be done before its folder goes.
        for (int i = 0; i < 100 && read_standin_record(install + L"\\audio-driver").found &&
                        !standin_finished(install + L"\\audio-driver");
             ++i) {
            Sleep(100);
        }
        remove_tree(vbcable_presence.substr(0, vbcable_presence.find(L"\\VB\\") + 3));
        temp_folder_test::TearDown();
    }

    // Makes the prefix report build for every process started from now on:
    // 22000 and later as Windows 11, the rest as Windows 10.
    void set_windows_build(DWORD build)
    {
        std::wstring number = std::to_wstring(build);
        set_string(version.get(), L"CurrentBuild", number);
        set_string(version.get(), L"CurrentBuildNumber", number);
        set_string(version.get(), L"CurrentVersion", L"6.3");
        DWORD major = 10;
        ASSERT_EQ(RegSetValueExW(version.get(), L"CurrentMajorVersionNumber", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&major), sizeof(major)),
                  ERROR_SUCCESS);
    }

    void make_vbcable_present()
    {
        std::wstring cable = vbcable_presence.substr(0, vbcable_presence.find_last_of(L'\\'));
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, cable.c_str(), nullptr), ERROR_SUCCESS);
        ASSERT_TRUE(write_bytes(vbcable_presence, "control panel"));
    }

    void use_firewall_stand_in()
    {
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, FIREWALL_SERVER_KEY, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                  nullptr, firewall_server.put(), nullptr),
                  ERROR_SUCCESS);
        saved_server = string_value(firewall_server.get(), nullptr);
        saved_model = string_value(firewall_server.get(), L"ThreadingModel");
        set_string(firewall_server.get(), nullptr, built_program(L"test_firewall.dll"));
        set_string(firewall_server.get(), L"ThreadingModel", L"Both");
    }

    void restore_firewall_server()
    {
        if (!firewall_server) return;
        set_string(firewall_server.get(), nullptr, saved_server);
        if (saved_model.empty()) {
            RegDeleteValueW(firewall_server.get(), L"ThreadingModel");
        } else {
            set_string(firewall_server.get(), L"ThreadingModel", saved_model);
        }
        firewall_server.reset();
    }

    run_result machine(const std::wstring& arguments, const std::vector<std::wstring>& environment = {})
    {
        return run_machine(arguments + L" --log \"" + log + L"\"", true, environment);
    }

    std::vector<std::string> messages() { return log_messages(log); }

    std::wstring install;
    std::wstring log;
    std::wstring vbcable_presence;
    unique_key version;
    unique_key firewall_server;
    std::vector<std::wstring> saved_version;
    std::wstring saved_server;
    std::wstring saved_model;
};

TEST_F(machine_flow_test, setup_without_an_install_folder_is_refused_with_nothing_written)
{
    run_result run = machine(L"machine-setup --no-camera --no-vbcable");
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_FALSE(path_exists(log));
}

TEST_F(machine_flow_test, setup_with_nothing_selected_logs_the_skips_and_writes_the_done_marker)
{
    run_result run = machine(L"machine-setup --install-dir \"" + install + L"\" --nonce abc --no-camera --no-vbcable");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), (std::vector<std::string>{BANNER, NO_CAMERA, NO_VBCABLE, "done"}));
    EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), "abc");
}

// The camera source is chosen by the build: only the folder for that camera is
// read, the other option is ignored. The payload folders are empty, so the
// camera step fails where it names the source it looked at.
TEST_F(machine_flow_test, setup_picks_the_camera_by_windows_build)
{
    std::wstring given_vcam = path(L"given-vcam");
    std::wstring given_dshow = path(L"given-dshow");
    std::string vcam_default = to_utf8(install) + "\\cmp\\vcm\\mirvo_vcam.dll";
    std::string dshow_default = to_utf8(install) + "\\cmp\\dsc";
    const struct {
        const char* name;
        DWORD build;
        std::wstring options;
        std::string missing;
    } cases[] = {
        {"Windows 11, defaults", 22000, L"", "camera DLL missing at " + vcam_default + " - nothing to register"},
        {"Windows 11 ignores --dshow-dir", 22631, L" --dshow-dir \"" + given_dshow + L"\"",
         "camera DLL missing at " + vcam_default + " - nothing to register"},
        {"Windows 11 takes --vcam-dir", 22000, L" --vcam-dir \"" + given_vcam + L"\"",
         "camera DLL missing at " + to_utf8(given_vcam) + "\\mirvo_vcam.dll - nothing to register"},
        {"Windows 10, defaults", 21999, L"", "DirectShow filter missing in " + dshow_default + " - nothing to register"},
        {"Windows 10 ignores --vcam-dir", 19045, L" --vcam-dir \"" + given_vcam + L"\"",
         "DirectShow filter missing in " + dshow_default + " - nothing to register"},
        {"Windows 10 takes --dshow-dir", 19045, L" --dshow-dir \"" + given_dshow + L"\"",
         "DirectShow filter missing in " + to_utf8(given_dshow) + " - nothing to register"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log.c_str());
        set_windows_build(c.build);

        run_result run = machine(L"machine-setup --install-dir \"" + install + L"\" --no-vbcable" + c.options);

        EXPECT_EQ(run.exit_code, 0u);
        EXPECT_EQ(messages(), (std::vector<std::string>{BANNER, c.missing, CAMERA_FAILED, NO_VBCABLE, "done"}));
        EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), "done");
    }
}

TEST_F(machine_flow_test, setup_skips_vbcable_without_its_payload_or_when_it_is_there)
{
    machine(L"machine-setup --install-dir \"" + install + L"\" --no-camera");
    EXPECT_EQ(messages(), (std::vector<std::string>{BANNER, NO_CAMERA, NO_PAYLOAD, "done"}));

    // Present already: the setup program is not even opened (this one is no program).
    ASSERT_TRUE(CreateDirectoryW((install + L"\\audio-driver").c_str(), nullptr));
    ASSERT_TRUE(write_bytes(install + L"\\audio-driver\\VBCABLE_Setup_x64.exe", "not a program"));
    make_vbcable_present();
    DeleteFileW(log.c_str());
    run_result run = machine(L"machine-setup --install-dir \"" + install + L"\" --no-camera");
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(messages(), (std::vector<std::string>{BANNER, NO_CAMERA, "VB-CABLE already installed; skipping", "done"}));
}

// Setup as it starts the program: elevated right after Install, then staging
// and the ready marker (setup_standin.exe).
struct standin_run {
    DWORD setup_status = 0xFFFFFFFF;
    DWORD machine_status = 0xFFFFFFFF;
};

TEST_F(machine_flow_test, setup_started_by_setup_waits_for_the_marker_then_runs)
{
    std::wstring marker = path(L"marker.txt");
    ASSERT_TRUE(write_bytes(marker, "n0nce-42\r\n"));
    run_request request;
    request.program = built_program(L"setup_standin.exe");
    request.arguments = L"\"" + built_program(L"mirvo_machine.exe") + L"\" \"" + install + L"\" n0nce-42 \"" + marker +
                        L"\" 1200 \"" + path(L"pid.txt") + L"\" --no-camera --no-vbcable --log \"" + log + L"\"";

    run_result run = run_program(request);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);  // the program's own status, passed on
    EXPECT_EQ(messages(), (std::vector<std::string>{
                              "waiting for Setup to finish staging files (elevated right after Install was clicked)",
                              "files ready; continuing", BANNER, NO_CAMERA, NO_VBCABLE, "done"}));
    EXPECT_FALSE(path_exists(install + L"\\.elevated_ready"));
    EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), "n0nce-42");
}

TEST_F(machine_flow_test, setup_closed_without_a_marker_still_gets_the_done_marker)
{
    run_request request;
    request.program = built_program(L"setup_standin.exe");
    request.arguments = L"\"" + built_program(L"mirvo_machine.exe") + L"\" \"" + install + L"\" n0nce-42 - 0 \"" +
                        path(L"pid.txt") + L"\" --no-camera --no-vbcable --log \"" + log + L"\"";
    run_result run = run_program(request);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exit_code, 7u);

    DWORD pid = static_cast<DWORD>(std::stoul(read_bytes(path(L"pid.txt"))));
    unique_handle program(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    ASSERT_TRUE(program);
    DWORD began = GetTickCount();
    ASSERT_EQ(WaitForSingleObject(program.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(program.get(), &status);

    EXPECT_EQ(status, 0u);
    EXPECT_LT(GetTickCount() - began, 2000u);  // within a pass of Setup's end
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "waiting for Setup to finish staging files (elevated right after Install was clicked)",
                  "Setup closed before it finished (nothing will signal); stopping without changing anything"}));
    EXPECT_EQ(read_bytes(install + L"\\.elevated_done"), "n0nce-42");
}

// The log is chosen once, at the start: an install folder that Setup creates
// only later keeps the whole run in the temporary folder's early log.
TEST_F(machine_flow_test, setup_started_before_the_install_folder_exists_logs_to_the_early_log_throughout)
{
    std::wstring later = path(L"created-later");
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring early = std::wstring(temp) + L"mirvo_install_early.log";
    DeleteFileW(early.c_str());
    std::wstring program = built_program(L"mirvo_machine.exe");
    std::wstring command = L"\"" + program + L"\" machine-setup --install-dir \"" + later +
                           L"\" --nonce n0nce-42 --wait-for-files --no-camera --no-vbcable";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    ASSERT_TRUE(start_process(nullptr, program.c_str(), command.data(), 0, nullptr, nullptr, &startup, &started));
    unique_handle thread(started.hThread);
    unique_handle process(started.hProcess);
    // The folder appears only once the program has chosen its log and waits:
    // a fixed pause lost that race on a loaded machine.
    for (int i = 0; i < 400 && read_bytes(early).find("waiting for Setup") == std::string::npos; ++i) Sleep(50);
    ASSERT_NE(read_bytes(early).find("waiting for Setup"), std::string::npos) << "the program never started waiting";
    ASSERT_TRUE(CreateDirectoryW(later.c_str(), nullptr));
    ASSERT_TRUE(write_bytes(later + L"\\.elevated_ready", "n0nce-42\r\n"));
    ASSERT_EQ(WaitForSingleObject(process.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD status = 0xFFFFFFFF;
    GetExitCodeProcess(process.get(), &status);

    EXPECT_EQ(status, 0u);
    std::vector<std::string> lines = log_messages(early);
    std::vector<std::string> run = {
        "waiting for Setup to finish staging files (elevated right after Install was clicked)",
        "files ready; continuing", BANNER, NO_CAMERA, NO_VBCABLE, "done"};
    EXPECT_NE(std::search(lines.begin(), lines.end(), run.begin(), run.end()), lines.end());
    EXPECT_FALSE(path_exists(later + L"\\install.log"));
    EXPECT_EQ(read_bytes(later + L"\\.elevated_done"), "n0nce-42");
}

TEST_F(machine_flow_test, removal_asks_the_firewall_to_remove_each_rule_name_while_it_succeeds)
{
    use_firewall_stand_in();
    std::wstring record = path(L"firewall.txt");
    std::vector<std::string> eight_each;
    for (const char* name : {"Mirvo", "Mirvo-console"}) {
        for (int i = 0; i < 8; ++i) eight_each.push_back(std::string("remove ") + name);
    }
    const struct {
        const char* mode;
        std::vector<std::string> calls;
        bool summary;
    } cases[] = {
        {"succeed", eight_each, true},
        {"fail", {"remove Mirvo", "remove Mirvo-console"}, true},
        {"no-rules", {}, false},
        {"no-object", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        DeleteFileW(log.c_str());
        DeleteFileW(record.c_str());

        run_result run = machine(L"machine-remove",
                                 {L"MIRVO_TEST_FIREWALL_RECORD=" + record, L"MIRVO_TEST_FIREWALL_MODE=" + to_wide(c.mode)});

        EXPECT_EQ(run.exit_code, 0u);
        std::vector<std::string> calls;
        std::string text = read_bytes(record);
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            calls.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        EXPECT_EQ(calls, c.calls);
        std::vector<std::string> lines = messages();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front(), REMOVAL_BANNER);
        bool summary = std::find(lines.begin(), lines.end(), FIREWALL_DONE) != lines.end();
        EXPECT_EQ(summary, c.summary);
        EXPECT_EQ(lines[lines.size() - 2], KEPT);
        EXPECT_EQ(lines.back(), "uninstall done");
    }
}

// The VB-CABLE step of a removal, with the tests' signed setup stand-in as the
// payload. Wine's own firewall object answers every Remove, so its line shows.
TEST_F(machine_flow_test, removal_runs_the_vbcable_setup_only_when_asked_and_judges_by_the_presence_file)
{
    std::wstring payload = install + L"\\audio-driver\\VBCABLE_Setup_x64.exe";
    std::string payload_text = to_utf8(payload);
    std::string delete_presence = "delete=" + to_utf8(vbcable_presence) + "\n";
    wchar_t program_files[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramFiles%", program_files, MAX_PATH);
    std::string camera_line = "MIRVO cameras unregistered and " + to_utf8(program_files) + "\\mirvo\\Camera removed";
    const struct {
        const char* name;
        const wchar_t* options;
        bool present;
        const wchar_t* standin;  // null: no payload
        std::string behaviour;
        std::vector<std::string> lines;  // between the firewall line and "uninstall done"
        bool present_after;
        bool ran;
    } cases[] = {
        {"not asked", L"", true, L"setup_signed.exe", delete_presence, {KEPT}, true, false},
        {"not installed, no payload", L" --vbcable", false, nullptr, "", {"VB-CABLE is not installed; nothing to remove"},
         false, false},
        {"installed, no payload", L" --vbcable", true, nullptr, "",
         {"VB-CABLE setup not found at " + payload_text + "; the driver was left in place"}, true, false},
        {"installed, another signer", L" --vbcable", true, L"setup_another_signer.exe", delete_presence,
         {"VB-CABLE setup in " + payload_text + " is not VB-Audio's signed binary (signer \"Another Signer\")",
          "refusing to run it elevated; the driver was left in place"},
         true, false},
        {"removed", L" --vbcable", true, L"setup_signed.exe", delete_presence + "exit=5\n",
         {"removing VB-CABLE", "VB-CABLE removed (exit 5)"}, false, true},
        {"still present", L" --vbcable", true, L"setup_signed.exe", "exit=0\n",
         {"removing VB-CABLE", "VB-CABLE reported exit 0 but the driver is still present"}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(log.c_str());
        // The stand-in of the case before may take a moment to let go of its image.
        for (int i = 0; i < 50 && path_exists(install + L"\\audio-driver"); ++i) {
            remove_tree(install + L"\\audio-driver");
            if (path_exists(install + L"\\audio-driver")) Sleep(100);
        }
        remove_tree(vbcable_presence.substr(0, vbcable_presence.find(L"\\VB\\") + 3));
        if (c.present) make_vbcable_present();
        if (c.standin != nullptr) {
            ASSERT_TRUE(CreateDirectoryW((install + L"\\audio-driver").c_str(), nullptr));
            ASSERT_TRUE(place_standin(c.standin, payload, c.behaviour));
        }

        run_result run = machine(L"machine-remove --install-dir \"" + install + L"\"" + c.options);

        EXPECT_EQ(run.exit_code, 0u);
        std::vector<std::string> expected = {REMOVAL_BANNER, camera_line, FIREWALL_DONE};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.push_back("uninstall done");
        EXPECT_EQ(messages(), expected);
        EXPECT_EQ(path_exists(vbcable_presence), c.present_after);
        standin_record record = read_standin_record(install + L"\\audio-driver");
        EXPECT_EQ(record.found, c.ran);
        if (c.ran) {
            EXPECT_EQ(record.command_line, quoted_command_line(payload, "-u -h"));
        }
    }
}

// Without an install folder the payload path stays relative and is found
// against the current folder of the program.
TEST_F(machine_flow_test, removal_without_an_install_folder_looks_in_the_current_folder)
{
    make_vbcable_present();
    ASSERT_TRUE(CreateDirectoryW((install + L"\\audio-driver").c_str(), nullptr));
    std::wstring payload = install + L"\\audio-driver\\VBCABLE_Setup_x64.exe";
    ASSERT_TRUE(place_standin(L"setup_signed.exe", payload, "delete=" + to_utf8(vbcable_presence) + "\n"));
    run_request request;
    request.program = built_program(L"mirvo_machine.exe");
    request.arguments = L"machine-remove --vbcable --log \"" + log + L"\"";
    request.working_folder = install;

    run_result run = run_program(request);

    EXPECT_EQ(run.exit_code, 0u);
    std::vector<std::string> lines = messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "removing VB-CABLE");
    EXPECT_EQ(lines[lines.size() - 2], "VB-CABLE removed (exit 0)");
    standin_record record = read_standin_record(install + L"\\audio-driver");
    ASSERT_TRUE(record.found);
    // The command line names the path as given; the image is the file found.
    EXPECT_EQ(record.command_line, "\"audio-driver\\VBCABLE_Setup_x64.exe\" -u -h");
    EXPECT_EQ(record.image, to_utf8(payload));
}

// A machine-setup that still waits when a test ends early is ended with it.
struct running_setup {
    explicit running_setup(HANDLE handle) : process(handle) {}
    ~running_setup()
    {
        if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 10000);
        }
    }
    unique_handle process;
};

// A per-user install keeps mirvo_machine.exe in a folder its user owns. While
// machine-setup waits for the ready marker, that user swaps the running file
// for one signed by someone else, whose camera DLLs sit in the install folder:
// the program's own signer comes from the running image it holds, so the
// rename is refused (a Windows rename) or changes nothing (a Unix-side one,
// which sharing does not stop): the other signer's DLLs are refused.
TEST_F(machine_flow_test, a_program_file_swapped_while_setup_waits_changes_nothing_it_trusts)
{
    const std::wstring payloads = built_program(L"camera_payloads\\");
    const std::wstring camera = program_files() + L"\\mirvo\\Camera";
    const std::string another_signer = " is signed by \"Another Signer\", not by \"MIRVO Test Signer\" - refusing to "
                                       "register it";
    const struct {
        const char* name;
        DWORD build;
        bool unix_swap;      // else a Windows rename of the running file, which must fail
        const wchar_t* dlls;  // folder under camera_payloads the camera DLLs come from
        std::string line;    // the camera's outcome line
    } cases[] = {
        {"Windows 11 camera, Windows rename refused, own DLLs registered", 22000, false, L"",
         "MIRVO Camera registered from " + to_utf8(camera)},
        {"DirectShow camera, Windows rename refused, own DLLs registered", 19045, false, L"",
         "machine-wide camera classes registered OK (apps run as administrator can open the camera)"},
        {"Windows 11 camera, Unix-side swap: the other signer's DLL refused", 22000, true, L"another\\",
         to_utf8(install) + "\\cmp\\vcm\\mirvo_vcam.dll" + another_signer},
        {"DirectShow camera, Unix-side swap: the other signer's DLLs refused", 19045, true, L"another\\",
         to_utf8(install) + "\\cmp\\dsc\\mirvo_dshow64.dll" + another_signer},
    };
    const std::wstring folder = path(L"program");
    const std::wstring program = folder + L"\\mirvo_machine.exe";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(run_machine(L"camera-remove").exit_code, 0u);
        remove_tree(folder);
        remove_tree(install + L"\\cmp");
        DeleteFileW(log.c_str());
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW((payloads + L"machine\\signed\\mirvo_machine.exe").c_str(), program.c_str(), FALSE));
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, (install + L"\\cmp\\vcm").c_str(), nullptr), ERROR_SUCCESS);
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, (install + L"\\cmp\\dsc").c_str(), nullptr), ERROR_SUCCESS);
        const std::wstring from = payloads + c.dlls;
        ASSERT_TRUE(CopyFileW((from + L"test_camera_good.dll").c_str(), (install + L"\\cmp\\vcm\\mirvo_vcam.dll").c_str(),
                              FALSE));
        ASSERT_TRUE(CopyFileW((from + L"test_dshow64.dll").c_str(), (install + L"\\cmp\\dsc\\mirvo_dshow64.dll").c_str(),
                              FALSE));
        ASSERT_TRUE(CopyFileW((from + L"test_dshow32.dll").c_str(), (install + L"\\cmp\\dsc\\mirvo_dshow32.dll").c_str(),
                              FALSE));
        ASSERT_NO_FATAL_FAILURE(set_windows_build(c.build));

        std::wstring command = ::quoted(program) + L" machine-setup --install-dir " + ::quoted(install) +
                               L" --nonce swap-1 --wait-for-files --no-vbcable --log " + ::quoted(log);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started = {};
        ASSERT_TRUE(start_process(nullptr, program.c_str(), command.data(), 0, nullptr, nullptr, &startup, &started))
            << GetLastError();
        unique_handle thread(started.hThread);
        running_setup setup(started.hProcess);
        // The program holds its own file before its flow starts, so once it
        // says it waits for Setup the file is held. (A probe that renamed the
        // file could make the program miss it: it then refuses every DLL.)
        bool waiting = false;
        for (int i = 0; i < 1200 && !waiting && WaitForSingleObject(setup.process.get(), 0) == WAIT_TIMEOUT; ++i) {
            waiting = read_bytes(log).find("waiting for Setup to finish staging files") != std::string::npos;
            if (!waiting) Sleep(50);
        }
        ASSERT_TRUE(waiting) << "the program never started waiting; log: " << read_bytes(log);
        if (c.unix_swap) {
            ASSERT_NO_FATAL_FAILURE(unix_replace(program, program + L".moved", payloads + L"machine\\another\\mirvo_machine.exe"));
            ASSERT_EQ(read_bytes(program), read_bytes(payloads + L"machine\\another\\mirvo_machine.exe"));
        } else {
            EXPECT_FALSE(MoveFileExW(program.c_str(), (program + L".moved").c_str(), 0));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        ASSERT_TRUE(write_bytes(install + L"\\.elevated_ready", "swap-1"));
        ASSERT_EQ(WaitForSingleObject(setup.process.get(), 60000), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD status = 0xFFFFFFFF;
        GetExitCodeProcess(setup.process.get(), &status);

        EXPECT_EQ(status, 0u);
        std::vector<std::string> lines = messages();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end());
        EXPECT_EQ(std::find(lines.begin(), lines.end(), CAMERA_FAILED) != lines.end(), c.unix_swap);
        // Nothing of the other signer reached the camera folder.
        EXPECT_EQ(path_exists(camera), !c.unix_swap);
    }
    ASSERT_EQ(run_machine(L"camera-remove").exit_code, 0u);
}

}  // namespace
