// The elevated part of an installation and of a removal.
#pragma once

#include <windows.h>

#include "base/setup_options.h"

// Windows builds from this one on get the Windows 11 virtual camera; older
// ones the DirectShow filters.
constexpr DWORD WINDOWS11_FIRST_BUILD = 22000;

// Most INetFwRules::Remove calls made for one rule name.
constexpr int FIREWALL_REMOVE_LIMIT = 8;

// The firewall rules that earlier installers of the app created, in order.
constexpr const wchar_t* firewall_rule_names[2] = {L"Mirvo", L"Mirvo-console"};

// machine-setup: waits for Setup's files when asked to (--wait-for-files), then
// installs the camera that suits this Windows and VB-CABLE, logs "done" and
// writes the done marker. Returns 2 without an install folder (nothing logged,
// no marker), 0 on every other path: what failed is in the log.
int machine_setup(const setup_options* options);

// machine-remove: the camera, the firewall rules of earlier installers, and
// VB-CABLE when --vbcable is given. Always returns 0: what failed is in the log.
int machine_remove(const setup_options* options);

// The running Windows build from ntdll's RtlGetVersion, found at run time in
// the already loaded ntdll; 0 when it cannot be had.
DWORD windows_build();

// Removes every firewall rule named in firewall_rule_names (up to
// FIREWALL_REMOVE_LIMIT Remove calls a name, while they succeed) and logs one
// summary line once the rules collection was had. Silent when COM, the policy
// object or the rules cannot be had.
void remove_firewall_rules();
