// The failure words of fenra-s2s: a DeliveryFailed carries one, and the
// network layer names its own failures with them.
#pragma once

#include <string_view>

namespace fenra::s2s {

// The failure words a DeliveryFailed carries.
namespace condition {
inline constexpr std::string_view kInvalidJid = "invalid-jid";
inline constexpr std::string_view kInternalError = "internal-error";
inline constexpr std::string_view kSlotsExhausted = "outbound-slots-exhausted";
inline constexpr std::string_view kNoSrvRecords = "no-srv-records";
inline constexpr std::string_view kDnsResolutionFailed = "dns-resolution-failed";
inline constexpr std::string_view kHostnameResolutionFailed = "hostname-resolution-failed";
inline constexpr std::string_view kSocketCreationFailed = "socket-creation-failed";
inline constexpr std::string_view kTcpConnectFailed = "tcp-connect-failed";
inline constexpr std::string_view kNoClientTlsContext = "no-client-tls-context";
inline constexpr std::string_view kTlsInitFailed = "tls-init-failed";
inline constexpr std::string_view kTlsHandshakeFailed = "tls-handshake-failed";
inline constexpr std::string_view kDaneVerificationFailed = "dane-verification-failed";
inline constexpr std::string_view kAuthenticationFailed = "authentication-failed";
inline constexpr std::string_view kXmlParseError = "xml-parse-error";
inline constexpr std::string_view kReadFailed = "read-failed";
inline constexpr std::string_view kWriteFailed = "write-failed";
inline constexpr std::string_view kPolicyViolation = "policy-violation";
inline constexpr std::string_view kResourceConstraint = "resource-constraint";
inline constexpr std::string_view kRemoteServerTimeout = "remote-server-timeout";
}  // namespace condition

}  // namespace fenra::s2s
