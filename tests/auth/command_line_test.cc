#include "auth/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/auth/log_capture.h"

namespace fenra::auth {
namespace {

using testutil::LogCapture;

Result<CommandLine> parse(std::vector<std::string_view> args) {
    return parse_command_line(args);
}

TEST(CommandLine, Defaults) {
    auto r = parse({});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->config_path, "/usr/local/etc/fenra/fenra.conf");
    EXPECT_EQ(r->socket_path, "/var/run/fenra-auth/auth.sock");
    EXPECT_FALSE(r->help);
}

TEST(CommandLine, HelpEndsParsingWhereverItIs) {
    LogCapture log;
    auto before = parse({"--help", "--config", "/does/not/exist", "--bogus", "--socket"});
    ASSERT_TRUE(before);
    EXPECT_TRUE(before->help);
    auto after = parse({"--config", "/does/not/exist", "-h"});
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->help);
    EXPECT_TRUE(log.lines().empty());
}

TEST(CommandLine, ValuesAreTakenWhateverTheyLookLike) {
    auto r = parse({"-c", "--help", "--socket", "-c", "--config", "/b.conf"});
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->help);
    EXPECT_EQ(r->config_path, "/b.conf");  // the later occurrence wins
    EXPECT_EQ(r->socket_path, "-c");
}

TEST(CommandLine, ShortConfigOption) {
    auto r = parse({"-c", "/etc/x.conf"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->config_path, "/etc/x.conf");
}

TEST(CommandLine, UnknownArgumentsWarnAndAreSkipped) {
    LogCapture log;
    auto r = parse({"--verbose", "-C", "--config=/x", "", "--socket", "/s"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->socket_path, "/s");
    EXPECT_EQ(r->config_path, "/usr/local/etc/fenra/fenra.conf");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "warn(fenra_auth_oidc): unknown argument: --verbose",
                               "warn(fenra_auth_oidc): unknown argument: -C",
                               "warn(fenra_auth_oidc): unknown argument: --config=/x",
                               "warn(fenra_auth_oidc): unknown argument: ",
                           }));
}

TEST(CommandLine, MissingValues) {
    struct Case {
        std::vector<std::string_view> args;
        const char* line;
    } cases[] = {
        {{"--config"}, "error(fenra_auth_oidc): --config requires a value"},
        {{"--socket", "/s", "-c"}, "error(fenra_auth_oidc): --config requires a value"},
        {{"--socket"}, "error(fenra_auth_oidc): --socket requires a value"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        auto r = parse(c.args);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), Error::InvalidArgs);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
}

TEST(CommandLine, UsageText) {
    const std::string_view u = usage_text();
    size_t lines = 0;
    for (char c : u)
        lines += c == '\n' ? 1 : 0;
    EXPECT_EQ(lines, 21u);
    EXPECT_EQ(u.back(), '\n');
    EXPECT_TRUE(u.starts_with("Usage: fenra-auth-oidc [OPTIONS]\n\nOptions:\n"));
    EXPECT_TRUE(u.ends_with("  rate_max_per_ip       Rate limit per IP (default: 20)\n"));
}

}  // namespace
}  // namespace fenra::auth
