// The link to the core: delivery requests in, inbound stanzas and delivery
// failures out, over the IPC slots of the daemon.
#pragma once

#include <string_view>

#include "runtime/ipc_codec.h"

namespace fenra::s2s {

class S2sServer;

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
}  // namespace condition

// The domain of a recipient address: the resource is cut at the first "/",
// then the domain is what follows the first "@" of the rest (the whole rest
// without one). Empty when there is no domain.
std::string_view delivery_domain(std::string_view to);

// Sends a DeliveryFailed to every connected core.
void deliver_failed(S2sServer& server, std::string_view from, std::string_view to,
                    std::string_view condition);

// Sends an InboundStanza to one connected core, round-robin over the slots;
// dropped when no core takes it.
void forward_inbound(S2sServer& server, std::string_view from, std::string_view to,
                     std::string_view stanza);

}  // namespace fenra::s2s
