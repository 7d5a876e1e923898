// Links in the tests' Wine prefix: Wine cannot make Windows links
// (CreateSymbolicLinkW is a stub, junctions fail), so tests make Unix symbolic
// links, which Wine shows as links: one to a folder as a folder that is a
// reparse point (0x410, as a junction looks), one to a file as a plain file
// whose handle's final path names the target.
#pragma once

#include <string>

// The Unix path of path's parent joined with its last name, so that a link
// itself is named, not what it points at. Empty when not running under Wine.
std::string unix_path(const std::wstring& path);

// Makes link a Unix symbolic link to target (a folder or a file; it need not
// exist). Fails the test when the link does not appear.
void make_unix_link(const std::wstring& target, const std::wstring& link);

// Removes the link itself, never what it points at.
void remove_unix_link(const std::wstring& link);
