#include "app/app.h"

#include "log/log.h"

int stop_app(const setup_options*)
{
    log_line(L"%ls is not available in this build", L"stop-app");
    return 1;
}
