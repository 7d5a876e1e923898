// Folder links under Wine: a Unix symbolic link, which Wine shows as a folder
// that is a reparse point (0x410), as a junction looks on Windows.
#pragma once

#include <string>

// The Unix path of path's parent joined with its last name, so that a link
// itself is named, not what it points at. Empty when not running under Wine.
std::string unix_path(const std::wstring& path);

// Makes link a Unix symbolic link to the folder target (gtest assertions).
void make_unix_link(const std::wstring& target, const std::wstring& link);

// Removes the link itself, never what it points at.
void remove_unix_link(const std::wstring& link);
