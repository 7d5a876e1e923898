// The kill sweep's build of mirvo_machine.exe: every call by which the program
// changes the machine (a file or folder created, renamed or deleted, a
// security descriptor set, a registry key or value written or deleted) goes
// through a counting wrapper, and every log line is counted, so that the run
// can end itself right after the k-th of either (MIRVO_KILL_AT="change:k" or
// "line:k"), or pause there (MIRVO_PAUSE_AT, for MIRVO_PAUSE_MS milliseconds)
// for a test that starts a second run or kills this one from outside. Forced
// into every source of that build only (-include); the program that ships is
// compiled without it and has none of this.
#pragma once

#include <windows.h>
#include <aclapi.h>

// What the build ends itself with: a status no flow of the program returns.
constexpr DWORD KILLED_BY_SWEEP = 0xDEAD;

// Called by log_line after each line it wrote (or lost).
void kill_point_after_log_line();

BOOL WINAPI kill_point_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI kill_point_RemoveDirectoryW(LPCWSTR path);
BOOL WINAPI kill_point_DeleteFileW(LPCWSTR path);
BOOL WINAPI kill_point_MoveFileW(LPCWSTR from, LPCWSTR to);
BOOL WINAPI kill_point_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL WINAPI kill_point_SetFileAttributesW(LPCWSTR path, DWORD attributes);
HANDLE WINAPI kill_point_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI kill_point_SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                                  DWORD bytes);
DWORD WINAPI kill_point_SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner,
                                              PSID group, PACL dacl, PACL sacl);
LSTATUS WINAPI kill_point_RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR key_class, DWORD options,
                                          REGSAM access, const SECURITY_ATTRIBUTES* security, PHKEY result,
                                          LPDWORD disposition);
LSTATUS WINAPI kill_point_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                         DWORD bytes);
LSTATUS WINAPI kill_point_RegDeleteTreeW(HKEY key, LPCWSTR subkey);
LSTATUS WINAPI kill_point_RegDeleteKeyExW(HKEY key, LPCWSTR subkey, REGSAM access, DWORD reserved);
LSTATUS WINAPI kill_point_RegDeleteKeyW(HKEY key, LPCWSTR subkey);
LSTATUS WINAPI kill_point_RegDeleteValueW(HKEY key, LPCWSTR name);
// Hands out a counting NtCreateFile: the link-safe opens create files through it.
FARPROC WINAPI kill_point_GetProcAddress(HMODULE module, LPCSTR name);

// Function-like, so that a member of the same name (FILE_DISPOSITION_INFO's
// DeleteFile) is left alone; MoveFileExW also stands as a value (the
// placement's rename seam), so it is replaced wherever it is named.
#define CreateDirectoryW(...) kill_point_CreateDirectoryW(__VA_ARGS__)
#define RemoveDirectoryW(...) kill_point_RemoveDirectoryW(__VA_ARGS__)
#define DeleteFileW(...) kill_point_DeleteFileW(__VA_ARGS__)
#define MoveFileW(...) kill_point_MoveFileW(__VA_ARGS__)
#define MoveFileExW kill_point_MoveFileExW
#define SetFileAttributesW(...) kill_point_SetFileAttributesW(__VA_ARGS__)
#define CreateFileW(...) kill_point_CreateFileW(__VA_ARGS__)
#define SetFileInformationByHandle(...) kill_point_SetFileInformationByHandle(__VA_ARGS__)
#define SetNamedSecurityInfoW(...) kill_point_SetNamedSecurityInfoW(__VA_ARGS__)
#define RegCreateKeyExW(...) kill_point_RegCreateKeyExW(__VA_ARGS__)
#define RegSetValueExW(...) kill_point_RegSetValueExW(__VA_ARGS__)
#define RegDeleteTreeW(...) kill_point_RegDeleteTreeW(__VA_ARGS__)
#define RegDeleteKeyExW(...) kill_point_RegDeleteKeyExW(__VA_ARGS__)
#define RegDeleteKeyW(...) kill_point_RegDeleteKeyW(__VA_ARGS__)
#define RegDeleteValueW(...) kill_point_RegDeleteValueW(__VA_ARGS__)
#define GetProcAddress(...) kill_point_GetProcAddress(__VA_ARGS__)
