#include "s2s/xmpp/stream_text.h"

#include <charconv>
#include <cstring>
#include <initializer_list>

namespace fenra::xmpp {
namespace {

// The opening shared by both stream headers, up to the value of `from`.
constexpr std::string_view kHeaderOpen =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:server' "
    "xmlns:stream='http://etherx.jabber.org/streams' "
    "xmlns:db='jabber:server:dialback' from='";
static_assert(kHeaderOpen.size() == 146);

constexpr std::string_view kFeaturesOpen = "<stream:features>";
constexpr std::string_view kFeaturesClose = "</stream:features>";

// The concatenation of `pieces` into `out`.
Result<size_t> concat(std::span<char> out, std::initializer_list<std::string_view> pieces) {
    size_t n = 0;
    for (std::string_view piece : pieces) {
        if (piece.size() > out.size() - n) return Error::NoSpaceLeft;
        if (!piece.empty()) std::memcpy(out.data() + n, piece.data(), piece.size());
        n += piece.size();
    }
    return n;
}

// The limits element, empty when no limit is set; BUF holds its text.
std::string_view limits_element(std::span<char, 160> buf, const StreamLimits& limits) {
    size_t n = 0;
    const auto put = [&](std::string_view piece) {
        std::memcpy(buf.data() + n, piece.data(), piece.size());
        n += piece.size();
    };
    const auto item = [&](std::string_view name, uint32_t value) {
        if (value == 0) return;
        put("<");
        put(name);
        put(">");
        n = static_cast<size_t>(std::to_chars(buf.data() + n, buf.data() + buf.size(), value).ptr -
                                buf.data());
        put("</");
        put(name);
        put(">");
    };
    if (limits.max_bytes == 0 && limits.idle_seconds == 0) return {};
    put("<limits xmlns='urn:xmpp:stream-limits:0'>");
    item("max-bytes", limits.max_bytes);
    item("idle-seconds", limits.idle_seconds);
    put("</limits>");
    return {buf.data(), n};
}

}  // namespace

std::string_view stream_error_condition(StreamError e) {
    switch (e) {
        case StreamError::host_unknown:
            return "host-unknown";
        case StreamError::not_authorized:
            return "not-authorized";
        case StreamError::invalid_namespace:
            return "invalid-namespace";
        case StreamError::not_well_formed:
            return "not-well-formed";
        case StreamError::policy_violation:
            return "policy-violation";
        case StreamError::internal_server_error:
            return "internal-server-error";
        case StreamError::unsupported_version:
            return "unsupported-version";
    }
    return "internal-server-error";
}

Result<size_t> write_stream_header(std::span<char> out, std::string_view local_domain,
                                   std::string_view remote_domain) {
    return concat(out, {kHeaderOpen, local_domain, "' to='", remote_domain, "' version='1.0'>"});
}

Result<size_t> write_inbound_stream_header(std::span<char> out, std::string_view local_domain,
                                           std::string_view remote_domain,
                                           std::string_view stream_id) {
    return concat(out, {kHeaderOpen, local_domain, "' to='", remote_domain, "' id='", stream_id,
                        "' version='1.0'>"});
}

Result<size_t> write_features(std::span<char> out, FeatureSet set, const StreamLimits& limits) {
    char buf[160];
    const std::string_view lim = limits_element(buf, limits);
    switch (set) {
        case FeatureSet::starttls_required:
            return concat(out, {kFeaturesOpen,
                                "<starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'>"
                                "<required/></starttls>",
                                kFeaturesClose});
        case FeatureSet::sasl_external:
            return concat(out, {kFeaturesOpen,
                                "<mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                                "<mechanism>EXTERNAL</mechanism></mechanisms>",
                                lim, kFeaturesClose});
        case FeatureSet::dialback:
            return concat(out, {kFeaturesOpen, "<db:features><db:dialback/></db:features>", lim,
                                kFeaturesClose});
        case FeatureSet::established:
            if (lim.empty()) return concat(out, {"<stream:features/>"});
            return concat(out, {kFeaturesOpen, lim, kFeaturesClose});
    }
    return Error::InvalidArgs;
}

Result<size_t> write_sasl_failure(std::span<char> out, std::string_view condition) {
    return concat(
        out, {"<failure xmlns='urn:ietf:params:xml:ns:xmpp-sasl'><", condition, "/></failure>"});
}

Result<size_t> write_stream_error(std::span<char> out, StreamError condition,
                                  std::string_view text) {
    constexpr std::string_view kNs = " xmlns='urn:ietf:params:xml:ns:xmpp-streams'";
    if (text.empty())
        return concat(out, {"<stream:error><", stream_error_condition(condition), kNs,
                            "/></stream:error>", kStreamClose});
    return concat(out, {"<stream:error><", stream_error_condition(condition), kNs, "/><text", kNs,
                        ">", text, "</text></stream:error>", kStreamClose});
}

Result<size_t> write_text(std::span<char> out, std::string_view text) {
    return concat(out, {text});
}

Result<size_t> xml_escape(std::span<char> out, std::string_view in) {
    size_t n = 0;
    const size_t cap = out.size();
    for (char c : in) {
        std::string_view rep;
        switch (c) {
            case '"':
                rep = "&quot;";
                break;
            case '\'':
                rep = "&apos;";
                break;
            case '&':
                rep = "&amp;";
                break;
            case '<':
                rep = "&lt;";
                break;
            case '>':
                rep = "&gt;";
                break;
            default:
                if (n == cap) return Error::NoSpaceLeft;
                out[n++] = c;
                continue;
        }
        if (rep.size() > cap - n) return Error::NoSpaceLeft;
        std::memcpy(out.data() + n, rep.data(), rep.size());
        n += rep.size();
    }
    return n;
}

Result<void> WriteQueue::append(std::string_view bytes) {
    if (closed) return Error::ConnectionClosed;
    if (bytes.size() > size - (filled - sent)) return Error::BufferFull;
    if (bytes.size() > size - filled) {
        // Room is there once the sent bytes are dropped from the front.
        std::memmove(data, data + sent, filled - sent);
        filled -= sent;
        sent = 0;
    }
    if (!bytes.empty()) std::memcpy(data + filled, bytes.data(), bytes.size());
    filled += bytes.size();
    return {};
}

void WriteQueue::consume(size_t n) {
    if (n > filled - sent) n = filled - sent;
    sent += n;
    written += n;
    if (sent == filled) filled = sent = 0;
}

}  // namespace fenra::xmpp
