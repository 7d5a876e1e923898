// The VB-CABLE virtual audio driver, installed by its vendor's signed setup program.
#pragma once

// vbcable-verify: 0 when the setup program at setup_path may be run, 1 when it
// is missing or refused (the reason is logged). Never runs it.
int verify_vbcable_setup(const wchar_t* setup_path);

// vbcable-install: nonzero when VB-CABLE is installed at the end.
int install_vbcable(const wchar_t* setup_path);
