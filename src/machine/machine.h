// The elevated part of an installation and of a removal.
#pragma once

#include "cli/options.h"

// machine-setup: returns the exit status.
int machine_setup(const setup_options* options);

// machine-remove: returns the exit status.
int machine_remove(const setup_options* options);
