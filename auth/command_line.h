// Command line of fenra-auth-oidc. Arguments are read in order; an option that
// takes a value consumes the next argument whatever it looks like, and a later
// occurrence overrides an earlier one. "--help" ends parsing at once.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "runtime/log.h"
#include "runtime/result.h"

namespace fenra::auth {

inline constexpr std::string_view kDefaultConfigPath = "/usr/local/etc/fenra/fenra.conf";
inline constexpr std::string_view kDefaultSocketPath = "/var/run/fenra-auth/auth.sock";

struct CommandLine {
    std::string_view config_path = kDefaultConfigPath;
    std::string_view socket_path = kDefaultSocketPath;
    std::optional<log::Level> log_level;  // given: wins over the file's log_level
    bool help = false;                    // the usage text is to be printed and nothing else done
};

// The 21-line usage text, each line ended by a newline.
std::string_view usage_text();

// Parses the arguments after the program name. Unknown arguments give the
// warning "unknown argument: ARG" (after the parse, none with --log-level
// error) and are skipped; an option without its value gives "OPTION requires
// a value", a level other than error, warn or info "invalid log level: WORD",
// and either fails with InvalidArgs.
Result<CommandLine> parse_command_line(std::span<const std::string_view> args);

}  // namespace fenra::auth
