// What the program's own work costs on this machine, measured side by side with
// the bound it cannot beat or the platform's own way of doing the same. A
// benchmark: it prints numbers and whether each aim was met, and fails only
// when it cannot measure. Run by testbed/bench.sh in its own throwaway prefix.
//
//   mirvo_bench.exe BENCH_FOLDER [REPETITIONS] [ONLY]
//
// BENCH_FOLDER holds signed\ and unsigned\mirvo_machine.exe, bench_floor.exe,
// and the payloads as <size>\<config>\vcam\mirvo_vcam.dll and
// <size>\<config>\dshow\mirvo_dshow64.dll, mirvo_dshow32.dll (size small or
// large, config signed or unsigned). ONLY, when given, runs just the camera rows
// whose label (config/size/path/state, e.g. "signed/large/vcam/fresh") holds it.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>

#include "base/paths.h"
#include "bench_clock.h"
#include "camera/camera_constants.h"
#include "fs/folders.h"
#include "fs/placement.h"
#include "system/com_class.h"

namespace {

std::wstring bench;
std::wstring machine_exe;
std::wstring floor_exe;
std::wstring regsvr32_exe;
std::wstring work;
int repetitions = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[noreturn]] void fail(const char* what)
{
    std::printf("bench: %s (error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    ExitProcess(1);
}

// User and kernel time of a process so far.
double cpu_seconds(HANDLE process)
{
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return -1;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct child_run {
    double wall_seconds = 0;
    double cpu_seconds = 0;  // user + kernel time of the child itself
    DWORD exit_code = 0xFFFFFFFF;
};

// Starts "program" arguments and waits for it; on_started runs while it runs.
template <typename during>
child_run run_child(const std::wstring& program, const std::wstring& arguments, during on_started)
{
    std::wstring command_line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    child_run run;
    double start = now_seconds();
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        work.c_str(), &startup, &process)) {
        fail("a program could not be started");
    }
    on_started(process.hProcess);
    WaitForSingleObject(process.hProcess, INFINITE);
    run.wall_seconds = now_seconds() - start;
    GetExitCodeProcess(process.hProcess, &run.exit_code);
    run.cpu_seconds = cpu_seconds(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

child_run run_child(const std::wstring& program, const std::wstring& arguments)
{
    return run_child(program, arguments, [](HANDLE) {});
}

void write_file(const std::wstring& path, const char* bytes, size_t size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("a file could not be created");
    DWORD written = 0;
    if (size > 0 && !WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) fail("a write failed");
    CloseHandle(file);
}

void copy_file(const std::wstring& from, const std::wstring& to)
{
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) fail("a payload could not be copied");
}

void report(const char* what, double measured, double bound, const char* unit, const char* aim_text, bool met)
{
    std::printf("%-52s %10.3f %-3s vs %10.3f %-3s  ratio %6.2f  aim %-8s %s\n", what, measured, unit, bound, unit,
                bound > 0 ? measured / bound : 0.0, aim_text, met ? "met" : "MISSED");
}

// files_identical on two identical 256 MiB files against reading both once in
// the same 64 KiB steps: the least any comparison must do.
void bench_files_identical()
{
    const std::wstring first = work + L"\\same_a.bin";
    const std::wstring second = work + L"\\same_b.bin";
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    for (const std::wstring& path : {first, second}) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) fail("a compare file could not be created");
        for (int i = 0; i < 256; ++i) {
            DWORD written = 0;
            if (!WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) fail("write");
        }
        CloseHandle(file);
    }
    static char a[COMPARE_CHUNK_BYTES], b[COMPARE_CHUNK_BYTES];
    auto read_both = [&] {
        HANDLE fa = CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE fb = CreateFileW(second.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (fa == INVALID_HANDLE_VALUE || fb == INVALID_HANDLE_VALUE) fail("a compare file could not be opened");
        DWORD got_a = 0, got_b = 0;
        unsigned long long total = 0;
        while (ReadFile(fa, a, sizeof(a), &got_a, nullptr) && ReadFile(fb, b, sizeof(b), &got_b, nullptr) &&
               got_a > 0) {
            total += got_a + got_b;
        }
        CloseHandle(fa);
        CloseHandle(fb);
        return total;
    };
    read_both();  // both files in the page cache for either side
    std::vector<double> ours, bound;
    for (int i = 0; i < repetitions; ++i) {
        double start = now_seconds();
        if (!files_identical(first.c_str(), second.c_str())) fail("files_identical says the copies differ");
        ours.push_back(now_seconds() - start);
        start = now_seconds();
        if (read_both() != 2ull * 256 * 1024 * 1024) fail("the files were not read whole");
        bound.push_back(now_seconds() - start);
    }
    // Throughput ratio: the bound's time over ours (1.0 means as fast as reading).
    double ours_s = median(ours), bound_s = median(bound);
    std::printf("%-52s %10.3f s   vs %10.3f s    speed  %6.2f  aim >= 0.90 %s\n",
                "files_identical, 2 x 256 MiB vs reading both once", ours_s, bound_s, bound_s / ours_s,
                bound_s / ours_s >= 0.9 ? "met" : "MISSED");
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());
}

// One row of the camera table: which program and payloads, which camera path,
// whether the DLLs are already in place, and the aim (as a multiple of the
// floor; 0 for none).
struct flow_case {
    const wchar_t* config;  // "signed": the program and its DLLs as they ship; "unsigned": a development build
    const wchar_t* size;    // "small": the test camera DLL; "large": its 32 MiB variant
    const wchar_t* path;    // "vcam": --vcam-dir; "dshow": --dshow-dir
    bool fresh;             // the placed DLLs and their class keys removed before each run
    double aim;
};

constexpr flow_case flow_cases[] = {
    {L"signed", L"small", L"vcam", false, 1.1},  {L"signed", L"small", L"vcam", true, 1.3},
    {L"signed", L"large", L"vcam", false, 1.2},  {L"signed", L"large", L"vcam", true, 1.3},
    {L"signed", L"small", L"dshow", false, 1.1}, {L"signed", L"small", L"dshow", true, 1.3},
    {L"signed", L"large", L"dshow", false, 1.2}, {L"signed", L"large", L"dshow", true, 1.3},
    {L"unsigned", L"small", L"vcam", false, 0},  {L"unsigned", L"small", L"dshow", false, 0},
};

std::wstring label_of(const flow_case& c)
{
    return std::wstring(c.config) + L"/" + c.size + L"/" + c.path + L"/" + (c.fresh ? L"fresh" : L"in-place");
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Takes the camera of one path off the machine, outside the timing: the placed
// DLLs and the class keys, as a machine that never had it.
void remove_placed(const flow_case& c, const std::wstring& camera_dir)
{
    if (wcscmp(c.path, L"vcam") == 0) {
        DeleteFileW((camera_dir + L"\\mirvo_vcam.dll").c_str());
        for (const wchar_t* class_id : vcam_class_ids) delete_com_class(class_id, KEY_WOW64_64KEY);
        return;
    }
    DeleteFileW((camera_dir + L"\\mirvo_dshow64.dll").c_str());
    DeleteFileW((camera_dir + L"\\mirvo_dshow32.dll").c_str());
    for (const wchar_t* class_id : dshow_class_ids) {
        delete_com_class(class_id, KEY_WOW64_64KEY);
        delete_com_class(class_id, KEY_WOW64_32KEY);
    }
}

// Runs one row: in the same loop, started the same way, a bare start of the
// program, the flow, the floor (bench_floor.exe, for a signed row) and the
// peer's regsvr32 /s of the placed DLL. Prints the row's medians.
void bench_flow(const flow_case& c, const std::wstring& camera_dir)
{
    const std::wstring exe = bench + L"\\" + c.config + L"\\mirvo_machine.exe";
    const std::wstring source = bench + L"\\" + c.size + L"\\" + c.config + L"\\" + c.path;
    const bool vcam = wcscmp(c.path, L"vcam") == 0;
    const bool signed_row = wcscmp(c.config, L"signed") == 0;
    const std::wstring flow = std::wstring(L"camera-install ") + (vcam ? L"--vcam-dir " : L"--dshow-dir ") +
                              quoted(source) + L" --log " + quoted(work + L"\\bench.log");
    const std::wstring state = c.fresh ? L"fresh " : L"in-place ";
    std::wstring floor_arguments;
    std::wstring peer_target;
    if (vcam) {
        peer_target = camera_dir + L"\\mirvo_vcam.dll";
        floor_arguments = L"vcam " + state + quoted(source + L"\\mirvo_vcam.dll") + L" " + quoted(peer_target);
    } else {
        peer_target = camera_dir + L"\\mirvo_dshow64.dll";
        floor_arguments = L"dshow " + state + quoted(source + L"\\mirvo_dshow64.dll") + L" " + quoted(peer_target) +
                          L" " + quoted(source + L"\\mirvo_dshow32.dll") + L" " +
                          quoted(camera_dir + L"\\mirvo_dshow32.dll");
    }
    const std::wstring peer_arguments = L"/s " + quoted(peer_target);

    // Unmeasured: the DLLs this row finds in place are this row's own.
    remove_placed(c, camera_dir);
    if (run_child(exe, flow).exit_code != 0) fail("camera-install did not succeed");

    std::vector<double> bare, ours, floor, peer;
    for (int i = 0; i < repetitions; ++i) {
        if (c.fresh) remove_placed(c, camera_dir);
        bare.push_back(run_child(exe, L"version").wall_seconds);
        if (c.fresh) remove_placed(c, camera_dir);
        child_run run = run_child(exe, flow);
        if (run.exit_code != 0) fail("camera-install did not succeed");
        ours.push_back(run.wall_seconds);
        if (signed_row) {
            if (c.fresh) remove_placed(c, camera_dir);
            run = run_child(floor_exe, floor_arguments);
            if (run.exit_code != 0) fail("the floor did not succeed");
            floor.push_back(run.wall_seconds);
        }
        // The DirectShow filters export no DllRegisterServer: regsvr32 loads the
        // DLL, finds none and says so, which is what it costs for that path.
        run = run_child(regsvr32_exe, peer_arguments);
        if (vcam && run.exit_code != 0) fail("regsvr32 did not succeed");
        peer.push_back(run.wall_seconds);
    }
    double bare_s = median(bare), ours_s = median(ours), peer_s = median(peer);
    double floor_s = signed_row ? median(floor) : 0;
    std::printf("%-8ls %-6ls %-6ls %-9ls %8.3f %8.3f ", c.config, c.path, c.size, c.fresh ? L"fresh" : L"in place",
                ours_s, bare_s);
    if (signed_row) {
        std::printf("%8.3f %8.3f %7.2fx %7.2fx  <= %.1fx %s\n", floor_s, peer_s, ours_s / floor_s, ours_s / peer_s,
                    c.aim, ours_s <= c.aim * floor_s ? "met" : "MISSED");
    } else {
        std::printf("%8s %8.3f %8s %7.2fx  (no signature is examined)\n", "-", peer_s, "-", ours_s / peer_s);
    }
    std::fflush(stdout);
}

// The camera table: every row whose label holds only (all rows when only is empty).
void bench_camera_flows(const std::wstring& only)
{
    wchar_t camera_dir[MAX_PATH * 2];
    if (!camera_folder(camera_dir)) fail("the camera folder could not be worked out");
    std::printf("camera-install, seconds, median of %d; ratios are the program's time over the floor's and over "
                "regsvr32's\n",
                repetitions);
    std::printf("%-8s %-6s %-6s %-9s %8s %8s %8s %8s %8s %8s  aim\n", "config", "path", "size", "state",
                "program", "version", "floor", "regsvr32", "x floor", "x regsvr");
    for (const flow_case& c : flow_cases) {
        if (!only.empty() && label_of(c).find(only) == std::wstring::npos) continue;
        bench_flow(c, camera_dir);
    }
}

// machine-setup, the camera parts in place, against a bare start of the same program.
void bench_machine_setup()
{
    const std::wstring exe = bench + L"\\signed\\mirvo_machine.exe";
    const std::wstring install = work + L"\\install";
    for (const wchar_t* folder : {L"", L"\\cmp", L"\\cmp\\vcm", L"\\cmp\\dsc"}) {
        CreateDirectoryW((install + folder).c_str(), nullptr);
    }
    const std::wstring small = bench + L"\\small\\signed";
    copy_file(small + L"\\vcam\\mirvo_vcam.dll", install + L"\\cmp\\vcm\\mirvo_vcam.dll");
    copy_file(small + L"\\dshow\\mirvo_dshow64.dll", install + L"\\cmp\\dsc\\mirvo_dshow64.dll");
    copy_file(small + L"\\dshow\\mirvo_dshow32.dll", install + L"\\cmp\\dsc\\mirvo_dshow32.dll");
    const std::wstring machine_setup = L"machine-setup --no-vbcable --install-dir " + quoted(install) + L" --log " +
                                       quoted(work + L"\\bench.log");
    // The first run places the DLLs; every measured one finds them in place.
    if (run_child(exe, machine_setup).exit_code != 0) fail("machine-setup did not succeed");
    std::vector<double> bare, setup;
    for (int i = 0; i < repetitions; ++i) {
        bare.push_back(run_child(exe, L"version").wall_seconds);
        setup.push_back(run_child(exe, machine_setup).wall_seconds);
    }
    double bare_s = median(bare), setup_s = median(setup);
    report("machine-setup --no-vbcable, signed, no wait, vs version", setup_s, bare_s, "s", "<= 2x",
           setup_s <= 2 * bare_s);
}

// A tree of 10,000 small files in 100 folders.
void make_tree(const std::wstring& root)
{
    CreateDirectoryW(root.c_str(), nullptr);
    for (int d = 0; d < 100; ++d) {
        std::wstring folder = root + L"\\folder" + std::to_wstring(d);
        if (!CreateDirectoryW(folder.c_str(), nullptr)) fail("a tree folder could not be created");
        for (int f = 0; f < 100; ++f) {
            write_file(folder + L"\\file" + std::to_wstring(f) + L".txt", "small file\r\n", 12);
        }
    }
}

void bench_delete_tree()
{
    const std::wstring root = work + L"\\tree";
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    std::vector<double> ours, platform, bare_cmd;
    for (int i = 0; i < repetitions; ++i) {
        make_tree(root);
        double start = now_seconds();
        delete_tree(root.c_str());
        ours.push_back(now_seconds() - start);
        if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) fail("delete_tree left the tree");

        make_tree(root);
        platform.push_back(run_child(cmd, L"/c rd /s /q \"" + root + L"\"").wall_seconds);
        if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES) fail("rd /s /q left the tree");
        bare_cmd.push_back(run_child(cmd, L"/c exit 0").wall_seconds);
    }
    double ours_s = median(ours), platform_s = median(platform);
    std::printf("%-52s %10.3f s   vs %10.3f s    ratio  %6.2f  (cmd start alone %.3f s)\n",
                "delete_tree, 10,000 files vs cmd /c rd /s /q", ours_s, platform_s, ours_s / platform_s,
                median(bare_cmd));
}

// The wait for Setup's marker sleeps between its looks: ten seconds of waiting
// must cost next to no processor time.
void bench_wait_cpu()
{
    const std::wstring install = work + L"\\waiting";
    CreateDirectoryW(install.c_str(), nullptr);
    const std::wstring marker = install + L"\\.elevated_ready";
    DeleteFileW(marker.c_str());
    DeleteFileW((install + L"\\.elevated_done").c_str());
    const std::wstring arguments = L"machine-setup --install-dir \"" + install +
                                   L"\" --wait-for-files --nonce bench-nonce --no-camera --no-vbcable --setup-pid " +
                                   std::to_wstring(GetCurrentProcessId()) + L" --log \"" + work + L"\\wait.log\"";
    // Read while it still runs, once after its start-up and once after ten
    // seconds of waiting: the difference is what the wait cost. (Wine 8 has
    // been seen to report another process's figures as a child's, once cmd.exe
    // had run; the difference is immune to that.)
    double after_start = 0, after_wait = 0;
    child_run run = run_child(machine_exe, arguments, [&](HANDLE process) {
        Sleep(1000);
        after_start = cpu_seconds(process);
        Sleep(10000);
        after_wait = cpu_seconds(process);
        write_file(marker, "bench-nonce", 11);
    });
    if (run.exit_code != 0) fail("machine-setup --wait-for-files did not succeed");
    double waited = after_wait - after_start;
    std::printf("%-52s %10.3f s CPU in 10 s (Wine reports %.3f s in all)  aim near zero (<= 0.1 s) %s\n",
                "machine-setup waiting 10 s for its marker", waited, after_wait, waited <= 0.1 ? "met" : "MISSED");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        std::printf("usage: mirvo_bench BENCH_FOLDER [REPETITIONS] [ONLY]\n");
        return 2;
    }
    bench = argv[1];
    work = bench + L"\\work";
    machine_exe = bench + L"\\signed\\mirvo_machine.exe";
    floor_exe = bench + L"\\bench_floor.exe";
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    regsvr32_exe = std::wstring(system) + L"\\regsvr32.exe";
    if (argc > 2) repetitions = std::max(1, _wtoi(argv[2]));
    const std::wstring only = argc > 3 ? argv[3] : L"";
    CreateDirectoryW(work.c_str(), nullptr);
    std::printf("median of %d runs each, side by side\n", repetitions);
    std::fflush(stdout);
    bench_camera_flows(only);
    if (!only.empty()) return 0;
    bench_machine_setup();
    std::fflush(stdout);
    bench_files_identical();
    std::fflush(stdout);
    bench_wait_cpu();
    std::fflush(stdout);
    bench_delete_tree();
    std::fflush(stdout);
    return 0;
}
