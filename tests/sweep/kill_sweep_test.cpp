// A run killed between any two of its own steps: the sweep's build of the
// program (killable/kill_points.h) ends itself right after its k-th machine
// change or its k-th log line, for k = 1, 2, ... until a run gets to its end
// untouched. After each kill the run's job is ended, so no child outlives it;
// then the same command is run again by the program as it ships, and must end
// with the status, the last log line and the machine state of a run nobody
// killed; and from the same kill point, a removal must leave a clean machine.
// A few kills from outside (TerminateProcess at a moment the test picks) check
// that the seam kills as a real kill does.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/owners.h"
#include "camera/camera_constants.h"
#include "support/camera_state.h"
#include "support/quote_argument.h"
#include "support/start_process.h"
#include "support/test_support.h"
#include "support/vbcable_standin.h"
#include "system/com_class.h"

namespace {

constexpr DWORD KILLED_BY_SWEEP = 0xDEAD;  // what the sweep's build ends itself with
constexpr DWORD KILLED_FROM_OUTSIDE = 0xDEAF;
constexpr int MOST_KILL_POINTS = 200;      // a flow with more has lost its way

const char WAITING[] = "another MIRVO run is changing this machine - waiting";
const char TAKEN_OVER[] = "the last MIRVO run that changed this machine was interrupted; going on";

// Sets environment variables for the programs this test starts, until it ends.
struct environment_scope {
    std::vector<std::wstring> names;
    void set(const wchar_t* name, const std::wstring& value)
    {
        SetEnvironmentVariableW(name, value.c_str());
        names.push_back(name);
    }
    ~environment_scope()
    {
        for (const std::wstring& name : names) SetEnvironmentVariableW(name.c_str(), nullptr);
    }
};

bool log_has(const std::wstring& log, const char* message)
{
    std::vector<std::string> lines = log_messages(log);
    return std::find(lines.begin(), lines.end(), message) != lines.end();
}

bool wait_for_file(const std::wstring& file, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        if (path_exists(file) && !read_bytes(file).empty()) return true;
        Sleep(50);
    }
    return false;
}

// Waits up to timeout_ms for message to appear in log.
bool wait_for_line(const std::wstring& log, const char* message, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        if (path_exists(log) && read_bytes(log).find(message) != std::string::npos) return true;
        Sleep(50);
    }
    return false;
}

std::wstring killable_program() { return built_program(L"kill_sweep\\signed\\mirvo_machine.exe"); }

// Every trace the flows leave on the machine, as text: the files below
// Program Files\mirvo with their bytes, ProgramData\mirvo, the camera's class
// keys in both views, and VB-CABLE's presence file.
void list_files(const std::wstring& root, const std::wstring& relative, std::string* out)
{
    std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    for (const std::string& name : names_in(folder)) {
        std::wstring inner = relative.empty() ? to_wide(name) : relative + L"\\" + to_wide(name);
        std::wstring full = root + L"\\" + inner;
        DWORD attributes = GetFileAttributesW(full.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *out += "  folder " + to_utf8(inner) + "\n";
            list_files(root, inner, out);
        } else {
            std::string bytes = read_bytes(full);
            *out += "  file " + to_utf8(inner) + " (" + std::to_string(bytes.size()) + " bytes, hash " +
                    std::to_string(std::hash<std::string>{}(bytes)) + ")\n";
        }
    }
}

// The hand-shake with Setup: what machine-setup leaves in the install folder.
std::string markers_in(const std::wstring& install)
{
    std::string markers;
    for (const wchar_t* marker : {L".elevated_ready", L".elevated_done"}) {
        std::wstring file = install + L"\\" + marker;
        if (path_exists(file)) markers += to_utf8(marker) + ": " + read_bytes(file) + "\n";
    }
    return markers;
}

std::string machine_state(const std::wstring& presence)
{
    std::string state;
    for (const std::wstring& root : {program_files() + L"\\mirvo", program_data() + L"\\mirvo"}) {
        if (!path_exists(root)) continue;
        state += to_utf8(root) + "\n";
        list_files(root, L"", &state);
    }
    for (const wchar_t* class_id : {vcam_class_ids[0], vcam_class_ids[1], dshow_class_ids[0], dshow_class_ids[1]}) {
        for (DWORD view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            if (!class_exists(class_id, view)) continue;
            state += "class " + to_utf8(class_id) + " " + to_utf8(view_name(view)) + ": " +
                     to_utf8(class_value(class_id, nullptr, nullptr, view)) + " | " +
                     to_utf8(class_value(class_id, L"InprocServer32", nullptr, view)) + " | " +
                     to_utf8(class_value(class_id, L"InprocServer32", L"ThreadingModel", view)) + "\n";
        }
    }
    if (path_exists(presence)) state += "VB-CABLE present\n";
    return state;
}

bool has_leftover_copy(const std::string& state)
{
    return state.find(".new ") != std::string::npos || state.find(".old ") != std::string::npos;
}

// One run of a program inside a job of its own, so that it and everything it
// started can be ended together and waited for.
struct job_run {
    unique_handle job;
    unique_handle process;
    DWORD exit_code = 0xFFFFFFFF;
    bool finished = false;
};

bool start_in_job(const std::wstring& program, const std::wstring& arguments, const std::wstring& kill_at,
                  job_run* run)
{
    run->job.reset(CreateJobObjectW(nullptr, nullptr));
    if (!run->job) return false;
    std::wstring command = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(0);
    // The child takes the plan from its environment; the test's own stays as it was.
    SetEnvironmentVariableW(L"MIRVO_KILL_AT", kill_at.empty() ? nullptr : kill_at.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    BOOL started = start_process(nullptr, program.c_str(), line.data(), CREATE_SUSPENDED, nullptr, nullptr,
                                 &startup, &info);
    SetEnvironmentVariableW(L"MIRVO_KILL_AT", nullptr);
    if (!started) return false;
    unique_handle thread(info.hThread);
    run->process.reset(info.hProcess);
    if (!AssignProcessToJobObject(run->job.get(), info.hProcess)) {
        TerminateProcess(info.hProcess, 1);
        return false;
    }
    ResumeThread(thread.get());
    return true;
}

// Ends whatever of the job still runs and waits until nothing of it does.
bool end_job(job_run* run)
{
    TerminateJobObject(run->job.get(), 1);
    for (int i = 0; i < 200; ++i) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (!QueryInformationJobObject(run->job.get(), JobObjectBasicAccountingInformation, &accounting,
                                       sizeof(accounting), nullptr)) {
            return false;
        }
        if (accounting.ActiveProcesses == 0) return true;
        Sleep(50);
    }
    return false;
}

bool wait_run(job_run* run, DWORD timeout_ms)
{
    if (WaitForSingleObject(run->process.get(), timeout_ms) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(run->process.get(), &run->exit_code);
    run->finished = true;
    return end_job(run);
}

// What the sweep compares: the status, the last log line and the machine.
struct outcome {
    DWORD status = 0xFFFFFFFF;
    std::string last_line;
    std::string state;
    std::string markers;  // the install folder's hand-shake files
};

struct flow {
    const char* name;
    // Makes the machine what the flow starts from (after a clean machine).
    std::function<void()> prepare;
    std::wstring arguments;  // before --log
    // Text the state of a run nobody killed holds (empty: the state is empty).
    const char* untouched_holds;
    // For machine-setup --wait-for-files: what Setup does again before a re-run.
    std::function<void()> before_rerun;
};

struct two_versions {
    const char* path;
    std::wstring older;  // the command line that installs the older camera
    std::wstring newer;
};

struct flow_figures {
    std::string name;
    int kill_points = 0;
    int converged = 0;
    int clean_removals = 0;
};

class kill_sweep : public vbcable_folder_test {
protected:
    void SetUp() override
    {
        vbcable_folder_test::SetUp();
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        log = path(L"run.log");
        note = path(L"kill_note.txt");
        install = path(L"install");
        ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
        // Setup's layout: both camera payloads and VB-CABLE's setup program,
        // which creates the presence file when installing and deletes it when removing.
        for (const wchar_t* folder : {L"\\cmp", L"\\cmp\\vcm", L"\\cmp\\dsc", L"\\audio-driver"}) {
            ASSERT_TRUE(CreateDirectoryW((install + folder).c_str(), nullptr));
        }
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_camera_good_v2.dll").c_str(),
                              (install + L"\\cmp\\vcm\\mirvo_vcam.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_dshow64_v2.dll").c_str(),
                              (install + L"\\cmp\\dsc\\mirvo_dshow64.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_dshow32_v2.dll").c_str(),
                              (install + L"\\cmp\\dsc\\mirvo_dshow32.dll").c_str(), FALSE));
        ASSERT_TRUE(place_standin(L"setup_signed.exe", install + L"\\audio-driver\\VBCABLE_Setup_x64.exe",
                                  "-i:create=" + to_utf8(presence) + "\n-u:delete=" + to_utf8(presence) + "\n"));
        // The older camera an update goes over.
        older = path(L"older");
        ASSERT_TRUE(CreateDirectoryW(older.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_camera_good.dll").c_str(),
                              (older + L"\\mirvo_vcam.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_dshow64.dll").c_str(),
                              (older + L"\\mirvo_dshow64.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(camera_payload(L"test_dshow32.dll").c_str(),
                              (older + L"\\mirvo_dshow32.dll").c_str(), FALSE));
    }

    void TearDown() override
    {
        clean_camera_state();
        vbcable_folder_test::TearDown();
    }

    std::wstring with_log(const std::wstring& arguments) const
    {
        return arguments + L" --log " + ::quoted(log) + L"";
    }

    // A run of the program as it ships, to its end.
    outcome shipped_run(const std::wstring& arguments)
    {
        DeleteFileW(log.c_str());
        job_run run;
        outcome result;
        if (!start_in_job(signed_machine(), with_log(arguments), L"", &run)) {
            ADD_FAILURE() << "the program did not start (" << GetLastError() << ")";
            return result;
        }
        EXPECT_TRUE(wait_run(&run, 120000)) << "the program did not end";
        result.status = run.exit_code;
        std::vector<std::string> lines = log_messages(log);
        if (!lines.empty()) result.last_line = lines.back();
        result.state = machine_state(presence);
        result.markers = markers_in(install);
        return result;
    }

    // A run of the sweep's build, killed at the planned point; what it was
    // killed after is in note. Returns its exit status.
    DWORD killed_run(const std::wstring& arguments, const std::wstring& kill_at)
    {
        DeleteFileW(log.c_str());
        DeleteFileW(note.c_str());
        SetEnvironmentVariableW(L"MIRVO_KILL_NOTE", note.c_str());
        job_run run;
        bool started = start_in_job(killable_program(), with_log(arguments), kill_at, &run);
        SetEnvironmentVariableW(L"MIRVO_KILL_NOTE", nullptr);
        if (!started) {
            ADD_FAILURE() << "the sweep's build did not start (" << GetLastError() << ")";
            return 0xFFFFFFFF;
        }
        EXPECT_TRUE(wait_run(&run, 120000)) << "the killed run or a child of it did not end";
        return run.exit_code;
    }

    void reset(const flow& f)
    {
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        remove_tree(vb_folder);
        for (const wchar_t* marker : {L"\\.elevated_ready", L"\\.elevated_done"}) {
            DeleteFileW((install + marker).c_str());
        }
        f.prepare();
    }

    std::wstring removal() const
    {
        return L"machine-remove --vbcable --install-dir " + ::quoted(install);
    }

    // Kills f at every change and every log line in turn; returns its figures.
    flow_figures sweep(const flow& f)
    {
        flow_figures figures;
        figures.name = f.name;
        reset(f);
        const outcome untouched = shipped_run(f.arguments);
        EXPECT_NE(untouched.last_line, "") << f.name;
        if (f.untouched_holds[0] == 0) {
            EXPECT_EQ(untouched.state, "") << f.name;
        } else {
            EXPECT_NE(untouched.state.find(f.untouched_holds), std::string::npos) << f.name << "\n" << untouched.state;
        }
        EXPECT_FALSE(has_leftover_copy(untouched.state)) << untouched.state;
        reset(f);
        const outcome clean = shipped_run(removal());
        EXPECT_EQ(clean.state, "") << "a removal of " << f.name << "'s starting point is not clean";

        for (const wchar_t* kind : {L"change:", L"line:"}) {
            for (int k = 1; k <= MOST_KILL_POINTS; ++k) {
                std::wstring kill_at = kind + std::to_wstring(k);
                SCOPED_TRACE(std::string(f.name) + " killed after " + to_utf8(kill_at));
                reset(f);
                DWORD status = killed_run(f.arguments, kill_at);
                if (status != KILLED_BY_SWEEP) {
                    // Fewer points than k: the run got to its end, as the shipped program does.
                    outcome whole;
                    whole.status = status;
                    std::vector<std::string> lines = log_messages(log);
                    if (!lines.empty()) whole.last_line = lines.back();
                    whole.state = machine_state(presence);
                    whole.markers = markers_in(install);
                    EXPECT_EQ(whole.status, untouched.status);
                    EXPECT_EQ(whole.last_line, untouched.last_line);
                    EXPECT_EQ(whole.state, untouched.state);
                    EXPECT_EQ(whole.markers, untouched.markers);
                    break;
                }
                ++figures.kill_points;
                std::string killed_after = read_bytes(note);
                SCOPED_TRACE("the kill came after: " + killed_after);

                if (f.before_rerun) f.before_rerun();
                outcome again = shipped_run(f.arguments);
                bool converged = again.status == untouched.status && again.last_line == untouched.last_line &&
                                 again.state == untouched.state && again.markers == untouched.markers;
                EXPECT_EQ(again.status, untouched.status);
                EXPECT_EQ(again.last_line, untouched.last_line);
                EXPECT_EQ(again.state, untouched.state);
                EXPECT_EQ(again.markers, untouched.markers);
                if (converged) ++figures.converged;

                reset(f);
                EXPECT_EQ(killed_run(f.arguments, kill_at), KILLED_BY_SWEEP) << "the same kill point again";
                outcome removed = shipped_run(removal());
                EXPECT_EQ(removed.state, "") << "left after a removal";
                EXPECT_EQ(removed.last_line, "uninstall done");
                if (removed.state.empty()) ++figures.clean_removals;
            }
        }
        return figures;
    }

    void install_older_vcam() { ASSERT_EQ(shipped_run(L"camera-install --vcam-dir " + ::quoted(older)).status, 0u); }
    void install_older_dshow()
    {
        ASSERT_EQ(shipped_run(L"camera-install --dshow-dir " + ::quoted(older)).status, 0u);
    }
    void make_legacy_data()
    {
        std::wstring legacy = program_data() + L"\\mirvo";
        ASSERT_TRUE(CreateDirectoryW(legacy.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((legacy + L"\\vcam").c_str(), nullptr));
        ASSERT_TRUE(write_bytes(legacy + L"\\vcam\\leftover.txt", "an older camera's data"));
    }

    // Starts a run that logs to its own file, without waiting for it.
    void start_logged(const std::wstring& program, const std::wstring& arguments, const std::wstring& run_log,
                      job_run* run)
    {
        DeleteFileW(run_log.c_str());
        ASSERT_TRUE(start_in_job(program, arguments + L" --log " + ::quoted(run_log), L"", run)) << GetLastError();
    }

    // The state one untouched run of arguments leaves on a clean machine.
    std::string state_after(const std::wstring& arguments)
    {
        clean_camera_state();
        outcome result = shipped_run(arguments);
        EXPECT_EQ(result.status, 0u);
        return result.state;
    }

    // camera-install of the older and of the newer camera, on each camera path.
    std::vector<two_versions> both_camera_paths() const
    {
        return {
            {"Windows 11", L"camera-install --vcam-dir " + ::quoted(older),
             L"camera-install --vcam-dir " + ::quoted(install + L"\\cmp\\vcm")},
            {"Windows 10", L"camera-install --dshow-dir " + ::quoted(older),
             L"camera-install --dshow-dir " + ::quoted(install + L"\\cmp\\dsc")},
        };
    }

    // The camera and VB-CABLE, as an untouched machine-setup puts them in.
    void install_everything(const std::wstring& setup)
    {
        ASSERT_NE(shipped_run(setup).state.find("VB-CABLE present"), std::string::npos);
    }

    // What Setup writes once it has staged every file.
    void write_ready_marker() { ASSERT_TRUE(write_bytes(install + L"\\.elevated_ready", "n0nce-7")); }

    std::wstring log;
    std::wstring note;
    std::wstring install;
    std::wstring older;
};

void print_table(const std::vector<flow_figures>& table)
{
    printf("\n%-40s %12s %10s %15s\n", "flow", "kill points", "converged", "clean removals");
    int points = 0, converged = 0, clean = 0;
    for (const flow_figures& row : table) {
        printf("%-40s %12d %10d %15d\n", row.name.c_str(), row.kill_points, row.converged, row.clean_removals);
        points += row.kill_points;
        converged += row.converged;
        clean += row.clean_removals;
    }
    printf("%-40s %12d %10d %15d\n\n", "all", points, converged, clean);
    fflush(stdout);
}

TEST_F(kill_sweep, every_kill_point_of_the_camera_verbs_is_mended_by_a_rerun_and_cleaned_by_a_removal)
{
    const std::wstring vcam = L"camera-install --vcam-dir " + ::quoted(install + L"\\cmp\\vcm");
    const std::wstring dshow = L"camera-install --dshow-dir " + ::quoted(install + L"\\cmp\\dsc");
    const flow flows[] = {
        {"camera-install, Windows 11, fresh", [this] { make_legacy_data(); }, vcam, "mirvo_vcam.dll", nullptr},
        {"camera-install, Windows 11, update", [this] { install_older_vcam(); }, vcam, "mirvo_vcam.dll", nullptr},
        {"camera-install, Windows 10, fresh", [] {}, dshow, "mirvo_dshow32.dll", nullptr},
        {"camera-install, Windows 10, update", [this] { install_older_dshow(); }, dshow, "mirvo_dshow32.dll",
         nullptr},
        {"camera-remove, Windows 11", [this] { install_older_vcam(); }, L"camera-remove", "", nullptr},
        {"camera-remove, Windows 10", [this] { install_older_dshow(); }, L"camera-remove", "", nullptr},
    };
    std::vector<flow_figures> table;
    for (const flow& f : flows) table.push_back(sweep(f));
    print_table(table);
}

TEST_F(kill_sweep, every_kill_point_of_machine_setup_and_machine_remove_is_mended_by_a_rerun_and_cleaned_by_a_removal)
{
    // The prefix reports a Windows 10 build: machine-setup puts the DirectShow camera in.
    const std::wstring setup = L"machine-setup --install-dir " + ::quoted(install);
    const std::wstring staged = setup + L" --wait-for-files --nonce n0nce-7";
    const flow flows[] = {
        {"machine-setup, camera and VB-CABLE", [] {}, setup, "VB-CABLE present", nullptr},
        {"machine-setup --wait-for-files", [this] { write_ready_marker(); }, staged, "VB-CABLE present",
         [this] { write_ready_marker(); }},
        {"machine-remove --vbcable", [this, setup] { install_everything(setup); }, removal(), "", nullptr},
    };
    std::vector<flow_figures> table;
    for (const flow& f : flows) table.push_back(sweep(f));
    print_table(table);
}

// Two elevated runs that install two versions of the camera at the same time
// take turns: whichever finishes last leaves its version whole, DLL bytes and
// every class key alike, never one version's file under the other's keys.
TEST_F(kill_sweep, two_installs_of_two_versions_at_once_leave_one_version_whole)
{
    constexpr int ROUNDS = 8;
    const std::vector<two_versions> cases = both_camera_paths();
    const std::wstring first_log = path(L"first.log");
    const std::wstring second_log = path(L"second.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string older_state = state_after(c.older);
        const std::string newer_state = state_after(c.newer);
        ASSERT_NE(older_state, newer_state);
        int waited = 0;
        for (int round = 0; round < ROUNDS; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            ASSERT_NO_FATAL_FAILURE(clean_camera_state());
            job_run first;
            job_run second;
            // Turn about, so that neither version always gets the head start.
            ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), round % 2 ? c.newer : c.older, first_log, &first));
            ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), round % 2 ? c.older : c.newer, second_log, &second));
            ASSERT_TRUE(wait_run(&first, 120000));
            ASSERT_TRUE(wait_run(&second, 120000));
            EXPECT_EQ(first.exit_code, 0u);
            EXPECT_EQ(second.exit_code, 0u);
            std::string state = machine_state(presence);
            EXPECT_TRUE(state == older_state || state == newer_state) << "a mixed camera:\n" << state;
            if (log_has(first_log, WAITING) || log_has(second_log, WAITING)) ++waited;
        }
        printf("%s: %d of %d rounds had one run wait for the other\n", c.path, waited, ROUNDS);
    }

    // Made to overlap: the first run pauses with the machine lock held, right
    // after its first change; the second must wait, and finishes last.
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + ", the first run paused mid-way");
        const std::string newer_state = state_after(c.newer);
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        job_run first;
        job_run second;
        {
            environment_scope pause;
            pause.set(L"MIRVO_PAUSE_AT", L"change:2");
            pause.set(L"MIRVO_PAUSE_MS", L"3000");
            pause.set(L"MIRVO_KILL_NOTE", note);
            DeleteFileW(note.c_str());
            ASSERT_NO_FATAL_FAILURE(start_logged(killable_program(), c.older, first_log, &first));
        }
        ASSERT_TRUE(wait_for_file(note, 30000)) << "the first run never paused";
        ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), c.newer, second_log, &second));
        ASSERT_TRUE(wait_run(&first, 120000));
        ASSERT_TRUE(wait_run(&second, 120000));
        EXPECT_EQ(first.exit_code, 0u);
        EXPECT_EQ(second.exit_code, 0u);
        EXPECT_TRUE(log_has(second_log, WAITING));
        EXPECT_EQ(machine_state(presence), newer_state);
    }
}

// A run killed from outside while it holds the machine lock: the run that
// waits for it takes the lock over, says so, and does its whole job.
TEST_F(kill_sweep, a_waiting_run_takes_over_from_a_holder_killed_mid_way)
{
    const std::vector<two_versions> cases = both_camera_paths();
    const std::wstring first_log = path(L"first.log");
    const std::wstring second_log = path(L"second.log");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string newer_state = state_after(c.newer);
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        job_run first;
        job_run second;
        {
            environment_scope pause;
            pause.set(L"MIRVO_PAUSE_AT", L"change:3");
            pause.set(L"MIRVO_PAUSE_MS", L"60000");
            pause.set(L"MIRVO_KILL_NOTE", note);
            DeleteFileW(note.c_str());
            ASSERT_NO_FATAL_FAILURE(start_logged(killable_program(), c.older, first_log, &first));
        }
        ASSERT_TRUE(wait_for_file(note, 30000)) << "the first run never paused";
        ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), c.newer, second_log, &second));
        ASSERT_TRUE(wait_for_line(second_log, WAITING, 30000)) << "the second run never waited";
        ASSERT_TRUE(TerminateProcess(first.process.get(), KILLED_FROM_OUTSIDE));
        ASSERT_TRUE(wait_run(&first, 30000));
        EXPECT_EQ(first.exit_code, KILLED_FROM_OUTSIDE);
        ASSERT_TRUE(wait_run(&second, 120000));
        EXPECT_EQ(second.exit_code, 0u);
        EXPECT_TRUE(log_has(second_log, TAKEN_OVER));
        EXPECT_EQ(machine_state(presence), newer_state);
    }
}

// Kills from outside at points the test picks: what the sweep's own kill
// stands in for. A kill while the program waits for VB-CABLE's setup program
// ends that program too (the run's job); one while machine-setup waits for
// Setup changes nothing; one of a run paused right after a change leaves just
// what the build's own kill at that change leaves. Each is mended by a re-run.
TEST_F(kill_sweep, kills_from_outside_leave_what_the_builds_own_kill_leaves_and_are_mended_by_a_rerun)
{
    const std::wstring setup = L"machine-setup --install-dir " + ::quoted(install);
    const std::wstring vb_setup = install + L"\\audio-driver\\VBCABLE_Setup_x64.exe";
    const std::string normal_behaviour = "-i:create=" + to_utf8(presence) + "\n-u:delete=" + to_utf8(presence) + "\n";
    ASSERT_NO_FATAL_FAILURE(clean_camera_state());
    const outcome untouched = shipped_run(setup);
    ASSERT_NE(untouched.state.find("VB-CABLE present"), std::string::npos);

    {
        SCOPED_TRACE("killed while VB-CABLE's setup program runs");
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        remove_tree(vb_folder);
        DeleteFileW((install + L"\\.elevated_done").c_str());
        ASSERT_TRUE(place_standin(L"setup_signed.exe", vb_setup, "-i:sleep_ms=20000\n" + normal_behaviour));
        job_run run;
        ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), setup, log, &run));
        for (int i = 0; i < 300 && !read_standin_record(install + L"\\audio-driver").found; ++i) Sleep(100);
        ASSERT_TRUE(read_standin_record(install + L"\\audio-driver").found) << "VB-CABLE's setup never started";
        ASSERT_TRUE(TerminateProcess(run.process.get(), KILLED_FROM_OUTSIDE));
        ASSERT_TRUE(wait_run(&run, 30000)) << "the setup program outlived the run's job";
        EXPECT_FALSE(standin_finished(install + L"\\audio-driver"));
        EXPECT_FALSE(path_exists(presence));
        ASSERT_TRUE(place_standin(L"setup_signed.exe", vb_setup, normal_behaviour));
        outcome again = shipped_run(setup);
        EXPECT_EQ(again.status, untouched.status);
        EXPECT_EQ(again.last_line, untouched.last_line);
        EXPECT_EQ(again.state, untouched.state);
    }
    {
        SCOPED_TRACE("killed while machine-setup waits for Setup");
        ASSERT_NO_FATAL_FAILURE(clean_camera_state());
        remove_tree(vb_folder);
        DeleteFileW((install + L"\\.elevated_done").c_str());
        const std::wstring staged = setup + L" --wait-for-files --nonce n0nce-7";
        job_run run;
        ASSERT_NO_FATAL_FAILURE(start_logged(signed_machine(), staged, log, &run));
        ASSERT_TRUE(wait_for_line(log, "waiting for Setup to finish staging files", 30000));
        ASSERT_TRUE(TerminateProcess(run.process.get(), KILLED_FROM_OUTSIDE));
        ASSERT_TRUE(wait_run(&run, 30000));
        EXPECT_EQ(machine_state(presence), "") << "a wait changed the machine";
        EXPECT_EQ(markers_in(install), "");
        write_ready_marker();
        outcome again = shipped_run(staged);
        EXPECT_EQ(again.status, untouched.status);
        EXPECT_EQ(again.last_line, untouched.last_line);
        EXPECT_EQ(again.state, untouched.state);
        EXPECT_EQ(again.markers, ".elevated_done: n0nce-7\n");
    }
    {
        SCOPED_TRACE("killed right after a change, from outside and by the build");
        const std::wstring dshow = L"camera-install --dshow-dir " + ::quoted(install + L"\\cmp\\dsc");
        for (int k : {4, 9}) {
            SCOPED_TRACE("change " + std::to_string(k));
            ASSERT_NO_FATAL_FAILURE(clean_camera_state());
            ASSERT_EQ(killed_run(dshow, L"change:" + std::to_wstring(k)), KILLED_BY_SWEEP);
            const std::string by_the_build = machine_state(presence);
            ASSERT_NO_FATAL_FAILURE(clean_camera_state());
            job_run run;
            {
                environment_scope pause;
                pause.set(L"MIRVO_PAUSE_AT", L"change:" + std::to_wstring(k));
                pause.set(L"MIRVO_PAUSE_MS", L"60000");
                pause.set(L"MIRVO_KILL_NOTE", note);
                DeleteFileW(note.c_str());
                ASSERT_NO_FATAL_FAILURE(start_logged(killable_program(), dshow, log, &run));
            }
            ASSERT_TRUE(wait_for_file(note, 30000)) << "the run never paused";
            ASSERT_TRUE(TerminateProcess(run.process.get(), KILLED_FROM_OUTSIDE));
            ASSERT_TRUE(wait_run(&run, 30000));
            EXPECT_EQ(machine_state(presence), by_the_build);
            outcome again = shipped_run(dshow);
            EXPECT_EQ(again.status, 0u);
            EXPECT_NE(again.state.find("mirvo_dshow32.dll"), std::string::npos);
        }
    }
}

}  // namespace
