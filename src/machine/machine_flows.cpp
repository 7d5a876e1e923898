#include "machine/machine.h"

#include "log/log.h"

int machine_setup(const setup_options*)
{
    log_line(L"%ls is not available in this build", L"machine-setup");
    return 1;
}

int machine_remove(const setup_options*)
{
    log_line(L"%ls is not available in this build", L"machine-remove");
    return 1;
}
