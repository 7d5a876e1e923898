// Putting the camera on the machine and taking it off again.
#pragma once

// camera-install --vcam-dir: the Windows 11 camera DLL; nonzero on success.
int install_vcam(const wchar_t* vcam_dir);

// camera-install --dshow-dir: the two DirectShow filters; nonzero on success.
int install_dshow(const wchar_t* dshow_dir);

// camera-remove: the camera, its classes and leftovers; nonzero on success.
int remove_camera();
