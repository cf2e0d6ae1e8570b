#include "runtime/process.h"
#include "s2s/server.h"

int main(int argc, char** argv) {
    return fenra::run_main(fenra::s2s::s2s_main, argc, argv);
}
