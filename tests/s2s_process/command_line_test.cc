#include "s2s/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/log.h"

namespace fenra::s2s {
namespace {

// Runs the parser over the arguments and keeps the log lines it wrote
// (messages only, without time, level and scope).
struct Parsed {
    Result<CommandLine> result;
    std::vector<std::string> log;
};

Parsed parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv{"fenra-s2s"};
    argv.insert(argv.end(), args.begin(), args.end());
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    log::set_output_fd(fds[1]);
    Parsed p{parse_command_line(static_cast<int>(argv.size()), argv.data()), {}};
    log::set_output_fd(2);
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    size_t pos = 0;
    while (pos < out.size()) {
        const size_t nl = out.find('\n', pos);
        const std::string line = out.substr(pos, nl - pos);
        p.log.push_back(line.substr(line.find("): ") + 3));
        pos = nl + 1;
    }
    return p;
}

TEST(S2sCommandLine, Defaults) {
    auto p = parse({});
    ASSERT_TRUE(p.result);
    const S2sConfig& c = p.result->config;
    EXPECT_FALSE(p.result->help);
    EXPECT_EQ(c.host, "localhost");
    EXPECT_EQ(c.bind_address, "0.0.0.0");
    EXPECT_EQ(c.port, 5269);
    EXPECT_FALSE(c.core_socket);
    EXPECT_FALSE(c.cert_path);
    EXPECT_FALSE(c.key_path);
    EXPECT_FALSE(c.listen_fd);
    EXPECT_TRUE(p.log.empty());
}

TEST(S2sCommandLine, EveryOptionPointsAtItsArgument) {
    const char* host = "a.example";
    auto p = parse({"--host", host, "--bind", "10.0.0.1", "--port", "+5_270", "--core-socket", "/s",
                    "--cert", "c.pem", "--key", "k.pem", "--listen-fd", "-3"});
    ASSERT_TRUE(p.result);
    const S2sConfig& c = p.result->config;
    EXPECT_EQ(c.host.data(), host);  // not copied
    EXPECT_EQ(c.bind_address, "10.0.0.1");
    EXPECT_EQ(c.port, 5270);
    EXPECT_EQ(c.core_socket, "/s");
    EXPECT_EQ(c.cert_path, "c.pem");
    EXPECT_EQ(c.key_path, "k.pem");
    EXPECT_EQ(c.listen_fd, -3);
}

TEST(S2sCommandLine, ValuesAreTakenWhateverTheyLookLike) {
    auto p = parse({"--host", "--port", "--address", "--help", "--address", "1.2.3.4"});
    ASSERT_TRUE(p.result);
    EXPECT_FALSE(p.result->help);
    EXPECT_EQ(p.result->config.host, "--port");
    EXPECT_EQ(p.result->config.bind_address, "1.2.3.4");
}

TEST(S2sCommandLine, HelpStopsTheParse) {
    auto p = parse({"--port", "1", "-h", "--port", "bogus", "--host"});
    ASSERT_TRUE(p.result);
    EXPECT_TRUE(p.result->help);
    EXPECT_TRUE(p.log.empty());
    EXPECT_FALSE(parse({"--port", "bogus", "--help"}).result);
}

TEST(S2sCommandLine, MissingValues) {
    const std::pair<const char*, const char*> rows[] = {
        {"--host", "--host requires a value"},
        {"--address", "--address requires a value"},
        {"--bind", "--address requires a value"},
        {"--port", "--port requires a value"},
        {"--core-socket", "--core-socket requires a value"},
        {"--cert", "--cert requires a value"},
        {"--key", "--key requires a value"},
        {"--listen-fd", "--listen-fd requires a value"},
        {"--log-level", "--log-level requires a value"},
        {"--dns-server", "--dns-server requires a value"},
        {"--dns-trust-anchor", "--dns-trust-anchor requires a value"},
        {"--close-timeout", "--close-timeout requires a value"},
    };
    for (const auto& [opt, message] : rows) {
        auto p = parse({"--host", "x", opt});
        ASSERT_FALSE(p.result) << opt;
        EXPECT_EQ(p.result.error(), Error::InvalidArgs);
        EXPECT_EQ(p.log, std::vector<std::string>{message});
    }
}

TEST(S2sCommandLine, PortValues) {
    for (const char* bad : {"65536", "-1", "12x", "", "+", "_5", "5_", "1 ", "0x1"}) {
        auto p = parse({"--port", bad});
        ASSERT_FALSE(p.result) << bad;
        EXPECT_EQ(p.log, std::vector<std::string>{std::string("invalid port: ") + bad});
    }
    const std::pair<const char*, uint16_t> good[] = {
        {"-0", 0}, {"5_269", 5269}, {"+1", 1}, {"65535", 65535}, {"0_0", 0}, {"-0_0", 0}};
    for (const auto& [text, value] : good) {
        auto p = parse({"--port", text});
        ASSERT_TRUE(p.result) << text;
        EXPECT_EQ(p.result->config.port, value) << text;
    }
}

TEST(S2sCommandLine, FdValues) {
    for (const char* bad : {"", "x", "2147483648", "-2147483649", "1.0"}) {
        auto p = parse({"--listen-fd", bad});
        ASSERT_FALSE(p.result) << bad;
        EXPECT_EQ(p.log, std::vector<std::string>{std::string("invalid fd number: ") + bad});
    }
    EXPECT_EQ(parse({"--listen-fd", "-2147483648"}).result->config.listen_fd, INT32_MIN);
    EXPECT_EQ(parse({"--listen-fd", "2_147_483_647"}).result->config.listen_fd, INT32_MAX);
    EXPECT_EQ(parse({"--listen-fd", "-0"}).result->config.listen_fd, 0);
}

TEST(S2sCommandLine, CountValues) {
    for (const char* bad : {"0", "86401", "x", ""}) {
        auto p = parse({"--negotiation-timeout", bad});
        ASSERT_FALSE(p.result) << bad;
        EXPECT_EQ(p.log, std::vector<std::string>{
                             std::string("invalid value for --negotiation-timeout: ") + bad});
    }
    const auto c = parse({"--negotiation-timeout", "1", "--close-timeout", "86400",
                          "--inbound-idle-timeout", "7", "--max-unauthenticated-per-address", "2",
                          "--connect-timeout", "3", "--delivery-timeout", "4"})
                       .result->config;
    EXPECT_EQ(c.negotiation_timeout, 1u);
    EXPECT_EQ(c.close_timeout, 86400u);
    EXPECT_EQ(c.inbound_idle_timeout, 7u);
    EXPECT_EQ(c.max_unauthenticated_per_address, 2u);
    EXPECT_EQ(c.connect_timeout, 3u);
    EXPECT_EQ(c.delivery_timeout, 4u);
    EXPECT_EQ(c.dialback_timeout, 30u);
}

TEST(S2sCommandLine, DnsOptions) {
    EXPECT_TRUE(parse({}).result->config.dns_servers.empty());
    EXPECT_FALSE(parse({}).result->config.dns_trust_anchor);
    auto p = parse({"--dns-server", "192.0.2.1", "--dns-trust-anchor", "a.key", "--dns-server",
                    "2001:db8::1@5353", "--dns-server", "127.0.0.1@53", "--dns-trust-anchor", "b"});
    ASSERT_TRUE(p.result);
    EXPECT_EQ(p.result->config.dns_servers,
              (std::vector<std::string_view>{"192.0.2.1", "2001:db8::1@5353", "127.0.0.1@53"}));
    EXPECT_EQ(p.result->config.dns_trust_anchor, "b");
    for (const char* bad : {"", "ns.example", "192.0.2.1@", "192.0.2.1@0", "192.0.2.1@65536",
                            "[::1]", "::1@x", "@53", "192.0.2.1@53@53", "192.0.2"}) {
        auto q = parse({"--dns-server", bad});
        ASSERT_FALSE(q.result) << bad;
        EXPECT_EQ(q.log, std::vector<std::string>{std::string("invalid DNS server: ") + bad});
    }
}

TEST(S2sCommandLine, UnknownArgumentsAndConfig) {
    auto p = parse({"-x", "--host", "h", "--config", "--port", "-c", "f", "stray", "--config"});
    ASSERT_TRUE(p.result);
    EXPECT_EQ(p.result->config.host, "h");
    EXPECT_EQ(p.result->config.port, 5269);  // "--port" was --config's value
    EXPECT_EQ(p.log, (std::vector<std::string>{"unknown argument: -x", "unknown argument: stray"}));
}

TEST(S2sCommandLine, LogLevels) {
    auto quiet = parse({"-x", "--log-level", "error", "--no-stanza-log"});
    ASSERT_TRUE(quiet.result);
    EXPECT_EQ(quiet.result->config.log_level, log::Level::error);
    EXPECT_FALSE(quiet.result->config.stanza_log);
    EXPECT_TRUE(quiet.log.empty());  // the warning is left out at level error, wherever it stood
    auto warn = parse({"-x", "--log-level", "warn"});
    EXPECT_EQ(warn.result->config.log_level, log::Level::warn);
    EXPECT_TRUE(warn.result->config.stanza_log);
    EXPECT_EQ(warn.log, std::vector<std::string>{"unknown argument: -x"});
    for (const char* bad : {"debug", "INFO", ""}) {
        auto p = parse({"stray", "--log-level", bad});
        ASSERT_FALSE(p.result) << bad;
        EXPECT_EQ(p.log, (std::vector<std::string>{"unknown argument: stray",
                                                   std::string("invalid log level: ") + bad}));
    }
}

TEST(S2sCommandLine, LaterOccurrenceOverrides) {
    auto p = parse({"--port", "1", "--port", "2", "--listen-fd", "5", "--listen-fd", "-1"});
    ASSERT_TRUE(p.result);
    EXPECT_EQ(p.result->config.port, 2);
    EXPECT_EQ(p.result->config.listen_fd, -1);
}

TEST(S2sCommandLine, UsageText) {
    EXPECT_EQ(kUsage.size(), 1747u);
    EXPECT_EQ(kUsage.back(), '\n');
    EXPECT_EQ(kUsage.find("--bind"), std::string_view::npos);
    EXPECT_EQ(kUsage.find("--listen-fd"), std::string_view::npos);
}

}  // namespace
}  // namespace fenra::s2s
