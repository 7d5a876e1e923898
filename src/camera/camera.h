// Putting the camera on the machine and taking it off again.
#pragma once

// camera-install --vcam-dir: the Windows 11 camera DLL; nonzero on success.
int install_vcam(const wchar_t* vcam_dir);

// camera-install --dshow-dir: the two DirectShow filters; nonzero on success.
int install_dshow(const wchar_t* dshow_dir);

// camera-remove: lets the virtual camera DLL unregister itself (only when it
// passes the signer check; otherwise "%ls does not pass the signer check - its
// classes are removed without calling it"), deletes the four
// camera classes, the camera folder and (when nothing else is in it) its parent,
// then clears the ProgramData leftovers. Returns 1 once the camera folder is
// worked out, whatever could or could not be removed (the last line says which);
// 0 with "cannot work out the camera folder" otherwise.
int remove_camera();

// Removes %ProgramData%\mirvo and its "vcam" folder, which earlier installers
// left: a link there is removed as a link only, with its own line; a "vcam"
// that survives a first deletion gets one Frame Server stop and one more try.
// Logs nothing else of its own.
void remove_legacy_data();
