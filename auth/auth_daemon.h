// The fenra-auth-oidc process: start-up, the main loop over the IPC socket,
// and the orderly shut-down.
#pragma once

#include "runtime/result.h"

namespace fenra::auth {

// The main routine handed to run_main: parses the command line and the
// configuration file, opens the IPC socket and serves authentication requests
// until SIGTERM or SIGINT.
Result<void> auth_main(int argc, char** argv);

}  // namespace fenra::auth
