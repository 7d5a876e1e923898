#include "audio/vbcable.h"

#include "log/log.h"

int install_vbcable(const wchar_t*)
{
    log_line(L"%ls is not available in this build", L"vbcable-install");
    return 0;
}
