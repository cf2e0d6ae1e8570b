// Log line format, calendar, size limit, escaping and the one-write rule.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>

#include "runtime/log.h"
#include "runtime/process.h"

namespace fenra {
namespace {

constexpr int64_t k20260302T090507 = 1772442307;  // seconds since the epoch

std::string line(int64_t ms, log::Level level, std::string_view scope, log::Pieces pieces) {
    char buf[log::kMaxLine];
    const size_t n = log::format_line(buf, sizeof buf, ms, level, scope, pieces);
    return std::string(buf, n);
}

std::string date(int64_t ms) {
    return line(ms, log::Level::info, "s", {}).substr(0, 23);
}

TEST(LogFormat, LineByteForByte) {
    const int64_t ms = k20260302T090507 * 1000 + 42;
    EXPECT_EQ(line(ms, log::Level::info, "ipc_server", {"IPC client connected, slot=", 3}),
              "2026-03-02T09:05:07.042 info(ipc_server): IPC client connected, slot=3\n");
    EXPECT_EQ(line(ms, log::Level::warn, "fenra-s2s", {"a"}),
              "2026-03-02T09:05:07.042 warn(fenra-s2s): a\n");
    EXPECT_EQ(line(ms, log::Level::error, "default", {"InvalidArgs"}),
              "2026-03-02T09:05:07.042 error(default): InvalidArgs\n");
}

TEST(LogFormat, CalendarBoundaries) {
    EXPECT_EQ(date(0), "1970-01-01T00:00:00.000");
    EXPECT_EQ(date(946684799999), "1999-12-31T23:59:59.999");
    EXPECT_EQ(date(946684800000), "2000-01-01T00:00:00.000");
    // 2000 is a leap year (divisible by 400), 2100 is not.
    EXPECT_EQ(date(951782399000), "2000-02-28T23:59:59.000");
    EXPECT_EQ(date(951782400000), "2000-02-29T00:00:00.000");
    EXPECT_EQ(date(951782400000 + 86400000), "2000-03-01T00:00:00.000");
    EXPECT_EQ(date(4107542399000), "2100-02-28T23:59:59.000");
    EXPECT_EQ(date(4107542400000), "2100-03-01T00:00:00.000");
    EXPECT_EQ(date(13574606400000), "2400-02-29T12:00:00.000");
    EXPECT_EQ(date(-1), "1969-12-31T23:59:59.999");
}

TEST(LogFormat, Values) {
    auto msg = [](log::Pieces p) { return line(0, log::Level::info, "s", p).substr(33); };
    EXPECT_EQ(msg({"e=", Error::PathTooLong}), "e=error.PathTooLong\n");
    EXPECT_EQ(msg({"fd=", std::nullopt}), "fd=null\n");
    EXPECT_EQ(msg({"fd=", std::optional<int>(7)}), "fd=7\n");
    EXPECT_EQ(msg({"fd=", std::optional<int>()}), "fd=null\n");
    EXPECT_EQ(msg({-1, " ", INT64_MIN, " ", INT64_MAX}),
              "-1 -9223372036854775808 9223372036854775807\n");
    EXPECT_EQ(msg({UINT64_MAX, " ", static_cast<uint16_t>(0)}), "18446744073709551615 0\n");
    EXPECT_EQ(msg({std::string("owned")}), "owned\n");
}

TEST(LogFormat, ControlBytesStayOnOneLine) {
    const std::string value = std::string("evil\nline\r\t\x01\x1f\x7f ok \x80\xff", 20);
    const std::string l = line(0, log::Level::warn, "fenra-s2s", {"from=", value, " end"});
    EXPECT_EQ(l.substr(24),
              "warn(fenra-s2s): from=evil\\x0aline\\x0d\\x09\\x01\\x1f\\x7f ok \x80\xff end\n");
    EXPECT_EQ(std::count(l.begin(), l.end(), '\n'), 1);
    std::string zero("a\0b", 3);
    EXPECT_EQ(line(0, log::Level::info, "s", {zero}).substr(33), "a\\x00b\n");
}

TEST(LogFormat, LineLimitIsWholeLine) {
    // "1970-01-01T00:00:00.000 info(s): " is 33 bytes, the newline 1.
    const std::string fits(4096 - 34, 'x');
    EXPECT_EQ(line(0, log::Level::info, "s", {fits}).size(), 4096u);
    EXPECT_EQ(line(0, log::Level::info, "s", {fits, "y"}), "");
    // Escapes count as written: 1016 control bytes become 4064 bytes.
    const std::string ctl(1016, '\n');
    EXPECT_EQ(line(0, log::Level::info, "s", {ctl}), "");
    EXPECT_EQ(line(0, log::Level::info, "s", {ctl.substr(0, 1015)}).size(), 33u + 4060 + 1);
}

// A datagram socket keeps write boundaries: each write is one datagram.
class LogOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv_), 0);
        int big = 1 << 20;
        setsockopt(sv_[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(sv_[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        log::set_output_fd(sv_[0]);
    }
    void TearDown() override {
        log::set_output_fd(2);
        close(sv_[0]);
        close(sv_[1]);
    }
    // Next datagram, or "" when none is waiting.
    std::string next() {
        char buf[8192];
        const ssize_t n = recv(sv_[1], buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int sv_[2];
};

TEST_F(LogOutput, OneWritePerLine) {
    log::info("ipc_server", {"IPC client connected, slot=", 3});
    log::warn("fenra-s2s", {"a", "b", 1, "c"});
    const std::string a = next();
    const std::string b = next();
    EXPECT_EQ(a.substr(23), " info(ipc_server): IPC client connected, slot=3\n");
    EXPECT_EQ(b.substr(23), " warn(fenra-s2s): ab1c\n");
    EXPECT_EQ(next(), "");
}

TEST_F(LogOutput, LongLinesWrittenWholeOrNotAtAll) {
    // The wall clock gives a 4-digit year, so the prefix has this length.
    const size_t prefix = std::string("2026-03-02T09:05:07.042 info(scope): ").size();
    const std::string fits(4096 - prefix - 1, 'x');
    log::info("scope", {fits});
    EXPECT_EQ(next().size(), 4096u);
    log::info("scope", {fits, "y"});
    EXPECT_EQ(next(), "");
}

// The daemon runs on with standard error closed, or pointing at a pipe nobody reads.
int run_child(void (*setup)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        setup();
        const int status = run_main(
            [](int, char**) -> Result<void> {
                for (int i = 0; i < 100; ++i)
                    log::error("fenra-s2s", {"line ", i});
                return {};
            },
            0, nullptr);
        _exit(status == 0 ? 42 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(LogStderr, ClosedStandardErrorIsIgnored) {
    const int st = run_child([] { close(2); });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 42);
}

TEST(LogStderr, BrokenPipeOnStandardErrorIsIgnored) {
    const int st = run_child([] {
        int p[2];
        if (pipe(p) != 0) _exit(3);
        close(p[0]);
        dup2(p[1], 2);
        close(p[1]);
    });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 42);
}

}  // namespace
}  // namespace fenra
