// Links made the only way Wine has: by a Unix tool. Wine shows a Unix symlink to
// a folder as a reparse point (attributes 0x410), and one to a file as a plain
// file that opens as its target. Never delete a file link through Windows:
// DeleteFileW on it deletes what it points at.
#pragma once

#include <string>

// The Unix path of path's parent joined with its last name, so that a link
// itself is named, not what it points at; empty when not running under Wine.
std::string unix_path(const std::wstring& path);

// Makes link a Unix symbolic link to target (a folder or a file) and returns
// once /bin/ln has finished. Fails the test (fatally) when it cannot.
void make_unix_link(const std::wstring& target, const std::wstring& link);

// Removes the link itself with /bin/rm, never what it points at, and returns
// once rm has finished.
void remove_unix_link(const std::wstring& link);

// Renames file to moved_to and copies replacement to file's name with /bin/mv
// and /bin/cp, which Windows sharing does not stop: what a user who owns the
// folder can do to a file that a Windows handle holds. Returns once both ran.
void unix_replace(const std::wstring& file, const std::wstring& moved_to, const std::wstring& replacement);
