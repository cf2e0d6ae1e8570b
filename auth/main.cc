#include "auth/auth_daemon.h"
#include "runtime/process.h"

int main(int argc, char** argv) {
    return fenra::run_main(fenra::auth::auth_main, argc, argv);
}
