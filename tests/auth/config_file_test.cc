#include "auth/config_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/auth/log_capture.h"

namespace fenra::auth {
namespace {

using testutil::LogCapture;

constexpr std::string_view kRequired =
    "[oidc]\n"
    "issuer = https://id.example\n"
    "client_id = fenra\n"
    "client_secret = s3cret\n"
    "token_endpoint = https://id.example/token\n"
    "jwks_uri = https://id.example/jwks\n";

std::string value(const ConfigFile& f, std::string_view section, std::string_view key) {
    auto v = f.get(section, key);
    return v ? std::string(*v) : std::string("<absent>");
}

TEST(ConfigFileParse, CrlfParsesLikeLf) {
    const auto lf = ConfigFile::parse("[oidc]\nissuer = a\nclient_id=b\n");
    const auto crlf = ConfigFile::parse("[oidc]\r\nissuer = a\r\nclient_id=b\r\r\n");
    for (const auto* f : {&lf, &crlf}) {
        EXPECT_EQ(value(*f, "oidc", "issuer"), "a");
        EXPECT_EQ(value(*f, "oidc", "client_id"), "b");
    }
    EXPECT_EQ(crlf.section_count(), 1u);
}

TEST(ConfigFileParse, LastLineWithoutNewline) {
    const auto f = ConfigFile::parse("[oidc]\nissuer=x");
    EXPECT_EQ(value(f, "oidc", "issuer"), "x");
}

TEST(ConfigFileParse, CommentsOnlyAtLineStart) {
    const auto f = ConfigFile::parse(
        "# comment = not a key\n"
        "  ; indented comment = no\n"
        "[oidc]\n"
        "issuer = https://a # not a comment\n"
        "client_id=x;y\n"
        "#issuer = overridden?\n");
    EXPECT_EQ(value(f, "oidc", "issuer"), "https://a # not a comment");
    EXPECT_EQ(value(f, "oidc", "client_id"), "x;y");
    EXPECT_FALSE(f.has_section(""));
}

TEST(ConfigFileParse, SectionHeaders) {
    const auto f = ConfigFile::parse(
        "  \t[oidc]  \n"
        "a = 1\n"
        "[ oidc ]\n"
        "b = 2\n"
        "[oidc] trailing words\n"
        "c = 3\n"
        "[broken\n"
        "d = 4\n"
        "[OIDC]\n"
        "e = 5\n");
    EXPECT_EQ(value(f, "oidc", "a"), "1");
    EXPECT_EQ(value(f, " oidc ", "b"), "2");
    EXPECT_EQ(value(f, "oidc", "b"), "<absent>");
    // "[broken" is no header: d stays in the section opened by the line before.
    EXPECT_EQ(value(f, "oidc", "c"), "3");
    EXPECT_EQ(value(f, "oidc", "d"), "4");
    EXPECT_FALSE(f.has_section("broken"));
    EXPECT_EQ(value(f, "oidc", "e"), "<absent>");
    EXPECT_EQ(value(f, "OIDC", "e"), "5");
}

TEST(ConfigFileParse, EmptySectionNameAndKeysBeforeHeader) {
    const auto f = ConfigFile::parse("top = 1\n[]\nnext = 2\n[]x]\ny=3\n");
    EXPECT_EQ(value(f, "", "top"), "1");
    EXPECT_EQ(value(f, "", "next"), "2");
    EXPECT_EQ(value(f, "", "y"), "3");  // the name ends at the first "]"
}

TEST(ConfigFileParse, KeyValueSplit) {
    const auto f = ConfigFile::parse(
        "[oidc]\n"
        "issuer=https://a\n"
        "client_id  \t =  \t fenra\n"
        "= orphan\n"
        "  =also orphan\n"
        "no equals sign here\n"
        "jwks_uri = a=b==c\n"
        "quoted = \"x\"\n"
        "empty =\n"
        "key with blanks = v\n");
    EXPECT_EQ(value(f, "oidc", "issuer"), "https://a");
    EXPECT_EQ(value(f, "oidc", "client_id"), "fenra");
    EXPECT_EQ(value(f, "oidc", ""), "<absent>");
    EXPECT_EQ(value(f, "oidc", "no equals sign here"), "<absent>");
    EXPECT_EQ(value(f, "oidc", "jwks_uri"), "a=b==c");
    EXPECT_EQ(value(f, "oidc", "quoted"), "\"x\"");
    EXPECT_EQ(value(f, "oidc", "empty"), "");
    EXPECT_EQ(value(f, "oidc", "key with blanks"), "v");
}

TEST(ConfigFileParse, OnlyBlanksAndTabsAreTrimmed) {
    const auto f = ConfigFile::parse("[oidc]\n\vk\v = \fv\f\r\n");
    EXPECT_EQ(value(f, "oidc", "\vk\v"), "\fv\f");
}

TEST(ConfigFileParse, MergedSectionsAndLaterKeysWin) {
    const auto f = ConfigFile::parse(
        "[oidc]\nissuer = first\nclient_id = keep\n"
        "[other]\nissuer = elsewhere\n"
        "[oidc]\nissuer = second\n");
    EXPECT_EQ(value(f, "oidc", "issuer"), "second");
    EXPECT_EQ(value(f, "oidc", "client_id"), "keep");
    EXPECT_EQ(value(f, "other", "issuer"), "elsewhere");
    EXPECT_EQ(f.section_count(), 2u);
}

TEST(ConfigFileParse, NulBytesAreOrdinary) {
    const std::string text("[oidc]\nk = a\0b\n", 15);
    const auto f = ConfigFile::parse(text);
    EXPECT_EQ(value(f, "oidc", "k"), std::string("a\0b", 3));
}

class ConfigFileLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fenra-auth-cfg-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string write_file(const std::string& name, const std::string& content) {
        const std::string path = dir_ + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        ::close(fd);
        return path;
    }
    std::string dir_;
};

TEST_F(ConfigFileLoad, ExactlyOneMebibyteIsReadOneMoreByteIsNot) {
    std::string text(kRequired);
    text += "filler = ";
    text.append(ConfigFile::kMaxFileSize - text.size() - 1, 'x');
    text += '\n';
    ASSERT_EQ(text.size(), ConfigFile::kMaxFileSize);
    auto ok = ConfigFile::load(write_file("max.conf", text));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->get("oidc", "issuer").value_or("?"), "https://id.example");
    EXPECT_EQ(ok->get("oidc", "filler")->size(), ConfigFile::kMaxFileSize - kRequired.size() - 10);

    auto big = ConfigFile::load(write_file("big.conf", text + "y"));
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error(), Error::StreamTooLong);
}

TEST_F(ConfigFileLoad, FileErrors) {
    auto missing = ConfigFile::load(dir_ + "/nope.conf");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), Error::FileNotFound);

    auto dir = ConfigFile::load(dir_);
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error(), Error::IsDir);

    auto endless = ConfigFile::load("/dev/zero");
    ASSERT_FALSE(endless);
    EXPECT_EQ(endless.error(), Error::StreamTooLong);

    auto empty = ConfigFile::load(write_file("empty.conf", ""));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->section_count(), 0u);
}

TEST_F(ConfigFileLoad, PathLength) {
    const std::string long_path(ConfigFile::kMaxPath, 'a');
    auto r = ConfigFile::load(long_path);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::NameTooLong);

    // 1023 bytes reaches the file system: a relative path of that length.
    std::string rel = "./";
    while (rel.size() + 2 < ConfigFile::kMaxPath - 1)
        rel += "./";
    rel.resize(ConfigFile::kMaxPath - 1, '/');
    ASSERT_EQ(rel.size(), ConfigFile::kMaxPath - 1);
    auto near = ConfigFile::load(rel);
    ASSERT_FALSE(near);
    EXPECT_EQ(near.error(), Error::IsDir);  // it names the current directory
}

TEST(ReadSettings, RequiredKeysInOrder) {
    const char* keys[] = {"issuer", "client_id", "client_secret", "token_endpoint", "jwks_uri"};
    for (const char* missing : keys) {
        std::string text = "[oidc]\n";
        for (const char* k : keys)
            if (std::string_view(k) != missing) text += std::string(k) + " = v\n";
        LogCapture log;
        auto r = read_settings(ConfigFile::parse(text), "/s");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), Error::InvalidArgs);
        EXPECT_EQ(log.text(), "error(fenra_auth_oidc): missing required config: [oidc] " +
                                  std::string(missing) + "\n");
    }
    LogCapture log;
    auto none = read_settings(ConfigFile::parse("issuer = in the wrong section\n"), "/s");
    ASSERT_FALSE(none);
    EXPECT_EQ(log.text(), "error(fenra_auth_oidc): missing required config: [oidc] issuer\n");
}

TEST(ReadSettings, EmptyRequiredValuesPassAndDefaults) {
    const auto f = ConfigFile::parse(
        "[oidc]\nissuer=\nclient_id=\nclient_secret=\ntoken_endpoint=\njwks_uri=\n");
    auto r = read_settings(f, "/from/cli.sock");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->oidc.issuer, "");
    EXPECT_FALSE(r->oidc.ca_file);
    EXPECT_FALSE(r->oidc.introspection_endpoint);
    EXPECT_FALSE(r->oidc.user_domain);
    EXPECT_EQ(r->socket_path, "/from/cli.sock");
    EXPECT_EQ(r->max_per_account, 5u);
    EXPECT_EQ(r->max_per_address, 20u);
    EXPECT_EQ(r->failure_reset_seconds, 900u);
    EXPECT_EQ(r->oidc.audiences, std::vector<std::string_view>{""});  // the client_id
}

TEST(ReadSettings, OptionalKeysAndSocketOverride) {
    std::string text(kRequired);
    text +=
        "ca_file = /etc/ca.pem\nintrospection_endpoint = https://id.example/introspect\n"
        "user_domain = example.org\nsocket = /run/auth.sock\nfailure_reset_seconds = 60\n"
        "audiences = , xmpp-server ,account,, \n";
    const auto f = ConfigFile::parse(text);
    auto r = read_settings(f, "/from/cli.sock");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->oidc.client_secret, "s3cret");
    EXPECT_EQ(r->oidc.ca_file.value_or("?"), "/etc/ca.pem");
    EXPECT_EQ(r->oidc.introspection_endpoint.value_or("?"), "https://id.example/introspect");
    EXPECT_EQ(r->oidc.user_domain.value_or("?"), "example.org");
    EXPECT_EQ(r->socket_path, "/run/auth.sock");
    EXPECT_EQ(r->failure_reset_seconds, 60u);
    EXPECT_EQ(r->oidc.audiences, (std::vector<std::string_view>{"xmpp-server", "account"}));
}

TEST(ReadSettings, Limits) {
    struct Case {
        const char* text;
        std::optional<uint32_t> parsed;  // nullopt: the defaults apply
    } cases[] = {
        {"1_000", 1000},    {"+7", 7},     {"-0", 0},
        {"-000", 0},        {"0", 0},      {"4294967295", 4294967295u},
        {"ten", {}},        {"", {}},      {"_1", {}},
        {"1_", {}},         {"1__0", 10},  {"-1", {}},
        {"4294967296", {}}, {"1 0", {}},   {"0x10", {}},
        {"+", {}},          {"12abc", {}},
    };
    for (const auto& c : cases) {
        const auto f =
            ConfigFile::parse(std::string(kRequired) + "rate_max_per_account = " + c.text +
                              "\nrate_max_per_ip = " + c.text + "\n");
        LogCapture log;
        auto r = read_settings(f, "/s");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->max_per_account, c.parsed.value_or(5)) << c.text;
        EXPECT_EQ(r->max_per_address, c.parsed.value_or(20)) << c.text;
        EXPECT_TRUE(log.lines().empty()) << c.text;
    }
}

}  // namespace
}  // namespace fenra::auth
