// What the stand-in programs share: whole files read and written by path, a
// file published under a temporary name, key=value behaviour files and UTF-8.
// Header only: a stand-in is one small statically linked program that links
// neither GoogleTest nor the tests' support library.
#pragma once

#include <windows.h>

#include <string>

inline std::string utf8(const std::wstring& wide)
{
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring wide(const std::string& text)
{
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// The whole file; empty when it cannot be opened.
inline std::string read_text(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return text;
}

// Replaces the file with text; false when any of it was not written.
inline bool write_text(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

// Adds text at the end of the file, creating it when missing.
inline bool append_text(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size();
}

// Writes text to partial and renames that to path, so that whoever waits for
// path never reads half of it.
inline bool publish(const std::wstring& partial, const std::wstring& path, const std::string& text)
{
    return write_text(partial, text) && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The value after the first "key=" in a behaviour file, up to the end of its
// line; empty when the key is not there.
inline std::string value_of(const std::string& text, const std::string& key)
{
    size_t at = text.find(key + "=");
    if (at == std::string::npos) return {};
    size_t end = text.find_first_of("\r\n", at);
    return text.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

// The process's current folder.
inline std::wstring current_folder()
{
    wchar_t current[32768];
    DWORD length = GetCurrentDirectoryW(32768, current);
    return std::wstring(current, length < 32768 ? length : 0);
}
