#include "camera/camera.h"

#include "log/log.h"

int install_vcam(const wchar_t*)
{
    log_line(L"%ls is not available in this build", L"camera-install");
    return 0;
}

int install_dshow(const wchar_t*)
{
    log_line(L"%ls is not available in this build", L"camera-install");
    return 0;
}
