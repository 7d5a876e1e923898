#include "app/app.h"

int relaunch_app(const setup_options*)
{
    return 1;
}
