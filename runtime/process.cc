#include "runtime/process.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/log.h"

namespace fenra {
namespace {

void ignore_signal(int) {}

// Async-signal-safe writes only: the crash handler must not allocate or lock.
void raw_write(const char* s, size_t n) {
    ssize_t r = ::write(2, s, n);
    (void)r;
}
void raw_write(const char* s) {
    raw_write(s, std::strlen(s));
}

void write_hex(uintptr_t v) {
    char buf[2 * sizeof v];
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof buf; ++i)
        buf[sizeof buf - 1 - i] = hex[(v >> (4 * i)) & 15];
    size_t start = 0;
    while (start + 1 < sizeof buf && buf[start] == '0')
        ++start;
    raw_write(buf + start, sizeof buf - start);
}

void stack_trace() {
    void* frames[64];
    const int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, 2);
}

const char* crash_name(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "Segmentation fault";
        case SIGILL:
            return "Illegal instruction";
        case SIGBUS:
            return "Bus error";
        case SIGFPE:
            return "Arithmetic exception";
    }
    return "Fatal signal";
}

void on_crash(int sig, siginfo_t* info, void*) {
    raw_write(crash_name(sig));
    raw_write(" at address 0x");
    write_hex(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr));
    raw_write("\n");
    stack_trace();
    signal(SIGABRT, SIG_DFL);
    abort();
}

// A closed standard descriptor would be taken by the next socket the daemon
// opens, and log lines would then be written to a peer: fill the gaps with
// /dev/null.
void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int n = ::open("/dev/null", O_RDWR);
        if (n < 0) return;
        if (n != fd) {
            dup2(n, fd);
            ::close(n);
        }
    }
}

char g_alt_stack[64 * 1024];

void install_handlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);

    // The crash reporter runs on its own stack so that a stack overflow is reported too.
    stack_t ss;
    std::memset(&ss, 0, sizeof ss);
    ss.ss_sp = g_alt_stack;
    ss.ss_size = sizeof g_alt_stack;
    sigaltstack(&ss, nullptr);

    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_crash;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGILL, SIGBUS, SIGFPE})
        sigaction(sig, &sa, nullptr);
}

}  // namespace

int run_main(MainRoutine main_routine, int argc, char** argv) {
    ensure_standard_descriptors();
    install_handlers();
    Result<void> r = main_routine(argc, argv);
    if (!r) {
        log::error("default", {error_name(r.error())});
        return 1;
    }
    return 0;
}

void panic(const char* message) {
    raw_write("panic: ");
    raw_write(message);
    raw_write("\n");
    stack_trace();
    abort();
}

}  // namespace fenra
