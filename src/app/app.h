// Stopping and relaunching the app.
#pragma once

#include "cli/options.h"

// stop-app: asks the app under the prefixes to exit, then ends what is left.
// Returns the exit status: 0, or 1 when the process list cannot be read.
int stop_app(const setup_options* options);

// relaunch: starts the app named by environment variables. Returns the exit
// status: 0 started, 1 not started, 2 no usable program path. Logs nothing.
int relaunch_app(const setup_options* options);
