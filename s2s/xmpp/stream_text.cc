#include "s2s/xmpp/stream_text.h"

#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// A text built piece by piece into `out`: fixed pieces as they stand, values
// escaped. Once a piece does not fit, the text fails.
class Builder {
  public:
    explicit Builder(std::span<char> out) : out_(out) {}

    Builder& fixed(std::string_view piece) {
        if (ok_ && piece.size() <= out_.size() - n_) {
            if (!piece.empty()) std::memcpy(out_.data() + n_, piece.data(), piece.size());
            n_ += piece.size();
        } else {
            ok_ = false;
        }
        return *this;
    }
    Builder& value(std::string_view v) {
        if (!ok_) return *this;
        auto n = xml_escape(out_.subspan(n_), v);
        if (n)
            n_ += *n;
        else
            ok_ = false;
        return *this;
    }
    Result<size_t> done() const {
        if (!ok_) return Error::NoSpaceLeft;
        return n_;
    }

  private:
    std::span<char> out_;
    size_t n_ = 0;
    bool ok_ = true;
};

// The concatenation of fixed `pieces` into `out`.
Result<size_t> concat(std::span<char> out, std::initializer_list<std::string_view> pieces) {
    Builder b(out);
    for (std::string_view piece : pieces)
        b.fixed(piece);
    return b.done();
}

// The length of the run at the start of IN that needs no escaping.
size_t plain_run(std::string_view in) {
    const char* p = in.data();
    const size_t n = in.size();
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i quot = _mm_set1_epi8('"');
    const __m128i apos = _mm_set1_epi8('\'');
    const __m128i amp = _mm_set1_epi8('&');
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i gt = _mm_set1_epi8('>');
    const auto first_special = [&](__m128i v) {
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quot), _mm_cmpeq_epi8(v, apos)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, amp),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt))));
        const int mask = _mm_movemask_epi8(hit);
        return mask == 0 ? 16 : __builtin_ctz(static_cast<unsigned>(mask));
    };
    for (; i + 16 <= n; i += 16) {
        const int k = first_special(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (k < 16) return i + static_cast<size_t>(k);
    }
    if (i == n) return n;
    // The tail, copied next to zero bytes (which are never special).
    alignas(16) char tail[16] = {};
    std::memcpy(tail, p + i, n - i);
    const size_t k =
        static_cast<size_t>(first_special(_mm_load_si128(reinterpret_cast<const __m128i*>(tail))));
    return k < n - i ? i + k : n;
#else
    for (; i < n; ++i) {
        const char c = p[i];
        if (c == '"' || c == '\'' || c == '&' || c == '<' || c == '>') break;
    }
    return i;
#endif
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
        case StreamError::connection_timeout:
            return "connection-timeout";
    }
    return "internal-server-error";
}

Result<size_t> write_stream_header(std::span<char> out, std::string_view local_domain,
                                   std::string_view remote_domain) {
    return Builder(out)
        .fixed(kHeaderOpen)
        .value(local_domain)
        .fixed("' to='")
        .value(remote_domain)
        .fixed("' version='1.0'>")
        .done();
}

Result<size_t> write_inbound_stream_header(std::span<char> out, std::string_view local_domain,
                                           std::string_view remote_domain,
                                           std::string_view stream_id) {
    return Builder(out)
        .fixed(kHeaderOpen)
        .value(local_domain)
        .fixed("' to='")
        .value(remote_domain)
        .fixed("' id='")
        .value(stream_id)
        .fixed("' version='1.0'>")
        .done();
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

Result<size_t> write_sasl_external(std::span<char> out, std::string_view data) {
    return Builder(out)
        .fixed("<auth xmlns='urn:ietf:params:xml:ns:xmpp-sasl' mechanism='EXTERNAL'>")
        .value(data)
        .fixed("</auth>")
        .done();
}

Result<size_t> write_dialback(std::span<char> out, const DialbackElement& e) {
    const bool result = e.kind == DialbackElement::Kind::result;
    Builder b(out);
    b.fixed(result ? "<db:result" : "<db:verify");
    b.fixed(" xmlns:db='jabber:server:dialback' from='").value(e.from);
    b.fixed("' to='").value(e.to).fixed("'");
    if (!e.id.empty()) b.fixed(" id='").value(e.id).fixed("'");
    if (!e.type.empty()) b.fixed(" type='").value(e.type).fixed("'");
    const std::string_view end = result ? "</db:result>" : "</db:verify>";
    if (e.type == "error") {
        b.fixed(
             "><error type='cancel'><item-not-found "
             "xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>")
            .fixed(end);
    } else if (!e.key.empty()) {
        b.fixed(">").value(e.key).fixed(end);
    } else {
        b.fixed("/>");
    }
    return b.done();
}

Result<size_t> write_stream_error(std::span<char> out, StreamError condition,
                                  std::string_view text) {
    constexpr std::string_view kNs = " xmlns='urn:ietf:params:xml:ns:xmpp-streams'";
    Builder b(out);
    b.fixed("<stream:error><").fixed(stream_error_condition(condition)).fixed(kNs).fixed("/>");
    if (!text.empty()) b.fixed("<text").fixed(kNs).fixed(">").value(text).fixed("</text>");
    return b.fixed("</stream:error>").fixed(kStreamClose).done();
}

Result<size_t> write_text(std::span<char> out, std::string_view text) {
    return concat(out, {text});
}

Result<size_t> xml_escape(std::span<char> out, std::string_view in) {
    // Text without special bytes (the usual case) is copied at once.
    size_t n = plain_run(in);
    const size_t cap = out.size();
    if (n > cap) return Error::NoSpaceLeft;
    if (n > 0) std::memcpy(out.data(), in.data(), n);
    in.remove_prefix(n);
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

}  // namespace fenra::xmpp
