// The process entry point: exit status, the default-scope error line, crashes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "runtime/process.h"

namespace fenra {
namespace {

struct Outcome {
    int status;
    std::string err;  // what the child wrote to standard error
};

// Runs run_main(routine) in a child with standard error captured.
Outcome run_in_child(MainRoutine routine) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        _exit(run_main(routine, 0, nullptr));
    }
    close(p[1]);
    Outcome o{0, {}};
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        o.err.append(buf, static_cast<size_t>(n));
    close(p[0]);
    waitpid(pid, &o.status, 0);
    return o;
}

TEST(RunMain, ErrorGivesDefaultLineAndStatusOne) {
    const Outcome o = run_in_child([](int, char**) -> Result<void> { return Error::InvalidArgs; });
    ASSERT_TRUE(WIFEXITED(o.status));
    EXPECT_EQ(WEXITSTATUS(o.status), 1);
    EXPECT_TRUE(std::regex_match(
        o.err,
        std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} error\(default\): InvalidArgs\n)")))
        << o.err;
}

TEST(RunMain, SuccessIsSilentWithStatusZero) {
    const Outcome o = run_in_child([](int, char**) -> Result<void> { return {}; });
    ASSERT_TRUE(WIFEXITED(o.status));
    EXPECT_EQ(WEXITSTATUS(o.status), 0);
    EXPECT_EQ(o.err, "");
}

TEST(RunMain, SigpipeIsIgnored) {
    const Outcome o = run_in_child([](int, char**) -> Result<void> {
        int p[2];
        if (pipe(p) != 0) return Error::Unexpected;
        close(p[0]);
        if (write(p[1], "x", 1) != -1 || errno != EPIPE) return Error::Unexpected;
        return {};
    });
    ASSERT_TRUE(WIFEXITED(o.status));
    EXPECT_EQ(WEXITSTATUS(o.status), 0);
}

using RunMainDeathTest = ::testing::Test;

TEST(RunMainDeathTest, CrashPrintsAddressAndTraceThenAborts) {
    // A fault at a small non-null address (a null store would be caught earlier
    // by the undefined-behaviour checks of the sanitizer build).
    EXPECT_EXIT(run_main(
                    [](int, char**) -> Result<void> {
                        // Through a volatile so that the optimiser cannot see the address.
                        volatile uintptr_t address = 0x10;
                        volatile int* p = reinterpret_cast<volatile int*>(address);
                        *p = 1;
                        return {};
                    },
                    0, nullptr),
                ::testing::KilledBySignal(SIGABRT), "Segmentation fault at address 0x10\n.+");
}

TEST(RunMainDeathTest, PanicAborts) {
    EXPECT_EXIT(panic("slot index out of range"), ::testing::KilledBySignal(SIGABRT),
                "panic: slot index out of range\n");
}

}  // namespace
}  // namespace fenra
