#include "auth/oidc/jwks_cache.h"

#include <openssl/evp.h>
#include <time.h>

#include <cstring>
#include <new>

#include "runtime/log.h"

namespace fenra::oidc {
namespace {

constexpr std::string_view kScope = "oidc_store";
constexpr size_t kMaxDepth = 32;  // objects nested deeper hold no keys

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// The 6-bit values of the base64 characters ("-" and "_" stand for "+" and
// "/"); 64 marks every other byte.
struct SextetTable {
    uint8_t v[256];
    constexpr SextetTable() : v() {
        for (int i = 0; i < 256; ++i)
            v[i] = 64;
        for (int i = 0; i < 26; ++i) {
            v['A' + i] = static_cast<uint8_t>(i);
            v['a' + i] = static_cast<uint8_t>(26 + i);
        }
        for (int i = 0; i < 10; ++i)
            v['0' + i] = static_cast<uint8_t>(52 + i);
        v[static_cast<unsigned char>('+')] = v[static_cast<unsigned char>('-')] = 62;
        v[static_cast<unsigned char>('/')] = v[static_cast<unsigned char>('_')] = 63;
    }
};
constexpr SextetTable kSextet;

// Where a member's value begins, given the end of its quoted name: a name in
// member position is followed by a colon (a string value that happens to
// spell the name is not); blanks and colons are skipped.
std::optional<size_t> value_start(std::string_view text, size_t p) {
    while (p < text.size() && blank(text[p]))
        ++p;
    if (p >= text.size() || text[p] != ':') return std::nullopt;
    while (p < text.size() && (blank(text[p]) || text[p] == ':'))
        ++p;
    return p;
}

// A key entry from the text of one JWK object, when it has the members its
// type needs.
bool make_entry(std::string_view object, std::string_view kid, JwkEntry& out) {
    const auto kty = json_string_field(object, "\"kty\"");
    if (!kty) return false;
    if (*kty == "RSA") {
        const auto n = json_string_field(object, "\"n\"");
        const auto e = json_string_field(object, "\"e\"");
        if (!n || !e) return false;
        out = JwkEntry{.kid = kid, .n = *n, .e = *e, .x = {}, .kind = JwkKind::rsa};
        return true;
    }
    if (*kty == "OKP") {
        const auto x = json_string_field(object, "\"x\"");
        if (!x) return false;
        out = JwkEntry{.kid = kid, .n = {}, .e = {}, .x = *x, .kind = JwkKind::okp};
        return true;
    }
    return false;
}

}  // namespace

size_t json_string_end(std::string_view text, size_t open) {
    for (size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            return i;
    }
    return std::string_view::npos;
}

std::optional<std::string_view> json_string_at(std::string_view text, size_t at) {
    if (at >= text.size() || text[at] != '"') return std::nullopt;
    const size_t end = json_string_end(text, at);
    if (end == std::string_view::npos) return std::nullopt;
    return text.substr(at + 1, end - at - 1);
}

int64_t system_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

Result<size_t> base64url_decode(std::string_view text, unsigned char* out, size_t cap) {
    if (text.empty()) return size_t{0};
    if (text.size() > kMaxBase64Text) return Error::InvalidBase64;
    const size_t padded = (text.size() + 3) / 4 * 4;
    if (padded > kMaxBase64Text) return Error::InvalidBase64;

    size_t own = 0;  // "=" the text brings itself
    while (own < text.size() && text[text.size() - 1 - own] == '=')
        ++own;
    const size_t pad = padded - text.size() + own;
    if (pad > 2) return Error::InvalidBase64;  // a lone final character, or stray "="
    const size_t out_len = padded / 4 * 3 - pad;
    if (out_len > cap) return Error::BufferTooSmall;

    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t chars = text.size() - own;
    size_t i = 0, o = 0;
    // Whole groups of four characters make three bytes.
    for (; i + 4 <= chars; i += 4) {
        const uint32_t a = kSextet.v[in[i]], b = kSextet.v[in[i + 1]], c = kSextet.v[in[i + 2]],
                       d = kSextet.v[in[i + 3]];
        if ((a | b | c | d) & 64) return Error::InvalidBase64;
        const uint32_t w = (a << 18) | (b << 12) | (c << 6) | d;
        out[o++] = static_cast<unsigned char>(w >> 16);
        out[o++] = static_cast<unsigned char>(w >> 8);
        out[o++] = static_cast<unsigned char>(w);
    }
    // Two or three characters left make one or two bytes.
    uint32_t acc = 0;
    unsigned bits = 0;
    for (; i < chars; ++i) {
        const uint32_t v = kSextet.v[in[i]];
        if (v & 64) return Error::InvalidBase64;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[o++] = static_cast<unsigned char>(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    if (acc != 0) return Error::InvalidBase64;  // stray bits in the last character
    return o;
}

std::optional<size_t> json_member_value(std::string_view text, std::string_view quoted_name) {
    if (quoted_name.empty()) return std::nullopt;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(quoted_name, from);
        if (at == std::string_view::npos) return std::nullopt;
        if (const auto p = value_start(text, at + quoted_name.size())) return p;
        from = at + 1;
    }
}

std::optional<std::string_view> json_string_field(std::string_view text,
                                                  std::string_view quoted_name) {
    const auto at = json_member_value(text, quoted_name);
    if (!at) return std::nullopt;
    return json_string_at(text, *at);
}

void PkeyFree::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

void PkeyCtxFree::operator()(EVP_PKEY_CTX* ctx) const {
    EVP_PKEY_CTX_free(ctx);
}

// One pass over the document that knows strings and object braces: each
// object remembers the first "kid" member found directly or deeper inside it
// while it is the innermost open object, and when it closes, its own text
// gives the key's members.
size_t extract_jwks_keys(std::string_view document, JwkEntry* out, size_t cap) {
    struct Open {
        size_t start;
        std::optional<std::string_view> kid;
    };
    Open open[kMaxDepth];
    size_t depth = 0;  // objects open; only the outer kMaxDepth are tracked
    size_t count = 0;

    for (size_t i = 0; i < document.size() && count < cap; ++i) {
        const char c = document[i];
        if (c == '"') {
            const size_t end = json_string_end(document, i);
            if (end == std::string_view::npos) break;
            const bool tracked = depth > 0 && depth <= kMaxDepth;
            if (tracked && !open[depth - 1].kid && document.substr(i, end + 1 - i) == "\"kid\"") {
                const auto at = value_start(document, end + 1);
                if (at) open[depth - 1].kid = json_string_at(document, *at);
            }
            i = end;
        } else if (c == '{') {
            if (depth < kMaxDepth) open[depth] = Open{.start = i, .kid = std::nullopt};
            ++depth;
        } else if (c == '}' && depth > 0) {
            --depth;
            if (depth < kMaxDepth && open[depth].kid) {
                const std::string_view object =
                    document.substr(open[depth].start, i + 1 - open[depth].start);
                if (make_entry(object, *open[depth].kid, out[count])) ++count;
            }
        }
    }
    return count;
}

JwksCache::JwksCache(const OidcConfig& config, const HttpsTransport& transport,
                     const WallClock& clock)
    : config_(config), transport_(transport), clock_(clock) {}

Result<void> JwksCache::refresh_jwks() {
    log::info(kScope, {"refreshing JWKS from ", config_.jwks_uri});
    auto r = transport_("GET", config_.jwks_uri, std::nullopt, std::nullopt, config_.ca_file);
    if (!r) {
        log::error(kScope, {"JWKS fetch failed: ", r.error()});
        return r.error();
    }
    if (r->status != 200) {
        log::error(kScope, {"JWKS endpoint returned ", r->status});
        return Error::InvalidResponse;
    }
    const std::string_view body = r->body();
    std::unique_ptr<char[]> copy;
    if (!body.empty()) {
        copy.reset(new (std::nothrow) char[body.size()]);
        if (!copy) return Error::OutOfMemory;
        std::memcpy(copy.get(), body.data(), body.size());
    }

    // The old entries and their built keys go with the old document.
    for (JwkEntry& e : keys_)
        e = JwkEntry{};
    document_ = std::move(copy);
    document_len_ = body.size();
    fetched_at_ = clock_();
    key_count_ = extract_jwks_keys(document(), keys_, kMaxJwks);
    log::info(kScope, {"JWKS: cached ", key_count_, " keys"});
    return {};
}

JwkEntry* JwksCache::lookup(std::string_view kid) {
    for (size_t i = 0; i < key_count_; ++i)
        if (keys_[i].kid == kid) return &keys_[i];
    return nullptr;
}

bool JwksCache::kid_miss_allowed(int64_t now) const {
    if (last_kid_miss_ == kNever || now < last_kid_miss_) return true;
    return now - last_kid_miss_ >= kKidMissCooldown;
}

JwkEntry* JwksCache::find_key(std::string_view kid) {
    const int64_t now = clock_();
    int64_t age = 0;
    const bool stale = fetched_at_ == kNever || __builtin_sub_overflow(now, fetched_at_, &age) ||
                       age > kRefreshInterval;
    if (stale && !refresh_jwks()) log::error(kScope, {"JWKS stale refresh failed"});

    if (JwkEntry* e = lookup(kid)) return e;
    if (stale || !kid_miss_allowed(now)) return nullptr;

    last_kid_miss_ = now;
    if (!refresh_jwks()) {
        log::error(kScope, {"JWKS kid-miss refresh failed"});
        return nullptr;
    }
    return lookup(kid);
}

}  // namespace fenra::oidc
