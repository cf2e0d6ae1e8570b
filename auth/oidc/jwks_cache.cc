#include "auth/oidc/jwks_cache.h"

#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <bit>

#include "auth/oidc/json_doc.h"
#include "auth/oidc/jwt_verify.h"
#include "auth/oidc/outcome.h"
#include "runtime/log.h"

namespace fenra::oidc {
namespace {

constexpr std::string_view kScope = "oidc_store";

// The 6-bit values of the base64url characters; 64 marks every other byte.
// shifted[k] holds them moved to the place of the k-th character of a group
// of four, with bit 24 marking every other byte, so that a group decodes with
// one OR of four lookups.
struct SextetTable {
    uint8_t v[256];
    uint32_t shifted[4][256];
    constexpr SextetTable() : v(), shifted() {
        for (int i = 0; i < 256; ++i)
            v[i] = 64;
        for (int i = 0; i < 26; ++i) {
            v['A' + i] = static_cast<uint8_t>(i);
            v['a' + i] = static_cast<uint8_t>(26 + i);
        }
        for (int i = 0; i < 10; ++i)
            v['0' + i] = static_cast<uint8_t>(52 + i);
        v[static_cast<unsigned char>('-')] = 62;
        v[static_cast<unsigned char>('_')] = 63;
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < 256; ++i)
                shifted[k][i] = v[i] == 64 ? 1u << 24 : uint32_t{v[i]} << (18 - 6 * k);
    }
};
constexpr SextetTable kSextet;

// The bits of a big-endian unsigned number, base64url encoded; 0 when it
// does not decode.
size_t rsa_bits(std::string_view n) {
    unsigned char raw[kMaxRsaModulus];
    const auto len = base64url_decode(n, raw, sizeof raw);
    if (!len) return 0;
    const unsigned char* p = raw;
    const unsigned char* end = raw + *len;
    while (p != end && *p == 0)
        ++p;
    if (p == end) return 0;
    return static_cast<size_t>(end - p - 1) * 8 + static_cast<size_t>(std::bit_width(*p));
}

std::string_view text_or_empty(JsonObject o, std::string_view name) {
    const auto v = string_member(o, name);
    return v && *v ? **v : std::string_view{};
}

// A key entry from one JWK object, when it is a usable signing key; the
// reason to skip it otherwise.
const char* make_entry(JsonObject o, JwkEntry& out) {
    const auto kid = string_member(o, "kid");
    const auto kty = string_member(o, "kty");
    const auto use = string_member(o, "use");
    const auto alg = string_member(o, "alg");
    if (!kid || !*kid || !kty || !*kty || !use || !alg) return "malformed";
    if (*use && **use != "sig") return "not for signatures";
    JwkEntry e;
    e.kid = **kid;
    if (**kty == "RSA") {
        if (*alg && **alg != "RS256") return "algorithm does not fit the key";
        e.kind = JwkKind::rsa;
        e.n = text_or_empty(o, "n");
        e.e = text_or_empty(o, "e");
        if (e.n.empty() || e.e.empty()) return "malformed";
        if (rsa_bits(e.n) < kMinRsaBits) return "RSA key under 2048 bits";
    } else if (**kty == "OKP") {
        if (*alg && **alg != "EdDSA") return "algorithm does not fit the key";
        if (text_or_empty(o, "crv") != "Ed25519") return "not an Ed25519 key";
        e.kind = JwkKind::okp;
        e.x = text_or_empty(o, "x");
        if (e.x.empty()) return "malformed";
    } else {
        return "unsupported key type";
    }
    out = std::move(e);
    return nullptr;
}

}  // namespace

int64_t system_seconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

Result<size_t> base64url_decode(std::string_view text, unsigned char* out, size_t cap) {
    if (text.empty()) return size_t{0};
    if (text.size() > kMaxBase64Text || text.size() % 4 == 1) return Error::InvalidBase64;
    const size_t out_len = text.size() / 4 * 3 + (text.size() % 4 == 0 ? 0 : text.size() % 4 - 1);
    if (out_len > cap) return Error::BufferTooSmall;

    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const size_t chars = text.size();
    size_t i = 0, o = 0;
    // Whole groups of four characters make three bytes.
    for (; i + 4 <= chars; i += 4) {
        const uint32_t w = kSextet.shifted[0][in[i]] | kSextet.shifted[1][in[i + 1]] |
                           kSextet.shifted[2][in[i + 2]] | kSextet.shifted[3][in[i + 3]];
        if (w >> 24) return Error::InvalidBase64;
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

void PkeyFree::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

void PkeyCtxFree::operator()(EVP_PKEY_CTX* ctx) const {
    EVP_PKEY_CTX_free(ctx);
}

void MdCtxFree::operator()(EVP_MD_CTX* ctx) const {
    EVP_MD_CTX_free(ctx);
}

Result<size_t> extract_jwks_keys(std::string_view document, JwkEntry* out, size_t cap) {
    JsonParser json(kMaxResponse);
    const auto doc = json.parse_object(document);
    if (!doc) return doc.error();
    const auto keys = member(*doc, "keys");
    simdjson::dom::array list;
    if (!keys || keys->get_array().get(list) != simdjson::SUCCESS) return size_t{0};
    size_t count = 0;
    for (const JsonValue k : list) {
        if (count == cap) break;
        JsonObject o;
        if (k.get_object().get(o) != simdjson::SUCCESS) continue;
        if (const char* why = make_entry(o, out[count])) {
            log::info(kScope, {"JWKS: skipping key '", text_or_empty(o, "kid"), "': ", why});
            continue;
        }
        ++count;
    }
    return count;
}

JwksCache::JwksCache(const OidcConfig& config, HttpsTransport& transport, const WallClock& clock)
    : config_(config), transport_(transport), clock_(clock) {}

JwksCache::~JwksCache() {
    if (refreshing_) transport_.cancel(exchange_);
}

void JwksCache::refresh_failed(int64_t now, bool unavailable) {
    backoff_ = backoff_ == 0 ? kFirstBackoff : std::min(backoff_ * 2, kMaxBackoff);
    next_attempt_ = now + backoff_;
    unavailable_ = unavailable;
}

void JwksCache::refresh(std::function<void(Result<void>)> then) {
    if (then) refresh_done_.push_back(std::move(then));
    if (refreshing_) return;
    refreshing_ = true;
    const int64_t now = clock_();
    log::info(kScope, {"refreshing JWKS from ", config_.jwks_uri});
    const ExchangeId id = transport_.start(
        HttpsRequest{.method = "GET", .url = config_.jwks_uri, .body = {}, .content_type = {}},
        [this, now](Result<HttpsResponse>&& r) {
            refreshing_ = false;
            exchange_ = 0;
            const Result<void> result = apply(std::move(r), now);
            // Those who waited, in order; whoever comes now finds the refresh over.
            auto done = std::move(refresh_done_);
            auto waiters = std::move(waiters_);
            refresh_done_.clear();
            waiters_.clear();
            for (auto& d : done)
                d(result);
            for (Waiter& w : waiters)
                w.then(lookup(w.kid));
        });
    if (refreshing_) exchange_ = id;
}

Result<void> JwksCache::apply(Result<HttpsResponse>&& r, int64_t now) {
    if (!r) {
        log::error(kScope, {"JWKS fetch failed: ", r.error()});
        refresh_failed(now, true);
        return r.error();
    }
    if (r->status != 200) {
        log::error(kScope, {"JWKS endpoint returned ", r->status});
        refresh_failed(now, provider_unavailable(r));
        return Error::InvalidResponse;
    }
    JwkEntry fresh[kMaxJwks];
    const auto count = extract_jwks_keys(r->body(), fresh, kMaxJwks);
    if (!count || *count == 0) {
        log::warn(kScope,
                  {"JWKS: no usable keys in the answer, keeping the ", key_count_, " cached keys"});
        refresh_failed(now, false);
        return count ? Error::InvalidResponse : count.error();
    }
    // The old entries and their built keys go.
    for (size_t i = 0; i < kMaxJwks; ++i)
        keys_[i] = std::move(fresh[i]);
    key_count_ = *count;
    fetched_at_ = now;
    backoff_ = 0;
    next_attempt_ = kNever;
    unavailable_ = false;
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

uint64_t JwksCache::wait_for_refresh(std::string_view kid, KeyWaiter then) {
    const uint64_t number = ++last_wait_;
    waiters_.push_back(Waiter{.number = number, .kid = std::string(kid), .then = std::move(then)});
    return number;
}

void JwksCache::cancel_wait(uint64_t wait) {
    std::erase_if(waiters_, [wait](const Waiter& w) { return w.number == wait; });
}

bool JwksCache::stale(int64_t now) const {
    int64_t age = 0;
    return fetched_at_ == kNever || __builtin_sub_overflow(now, fetched_at_, &age) ||
           age > kRefreshInterval;
}

JwkEntry* JwksCache::fresh_key(std::string_view kid, int64_t now) {
    return stale(now) ? nullptr : lookup(kid);
}

uint64_t JwksCache::with_key(std::string_view kid, KeyWaiter then) {
    const int64_t now = clock_();
    const bool stale = this->stale(now);
    JwkEntry* found = lookup(kid);
    // A refresh in progress may bring the key or renew a stale set.
    if (refreshing_ && (stale || found == nullptr)) return wait_for_refresh(kid, std::move(then));
    if (!refreshing_ && stale && refresh_allowed(now)) {
        const uint64_t wait = wait_for_refresh(kid, std::move(then));
        refresh([](Result<void> r) {
            if (!r) log::error(kScope, {"JWKS stale refresh failed"});
        });
        return waiters_.empty() ? 0 : wait;
    }
    if (found != nullptr || refreshing_ || !refresh_allowed(now) || !kid_miss_allowed(now)) {
        then(found);
        return 0;
    }
    last_kid_miss_ = now;
    const uint64_t wait = wait_for_refresh(kid, std::move(then));
    refresh([](Result<void> r) {
        if (!r) log::error(kScope, {"JWKS kid-miss refresh failed"});
    });
    return waiters_.empty() ? 0 : wait;
}

Result<void> JwksCache::refresh_jwks() {
    Result<void> out = Error::WouldBlock;
    refresh([&out](Result<void> r) { out = r; });
    return out;
}

JwkEntry* JwksCache::find_key(std::string_view kid) {
    JwkEntry* out = nullptr;
    with_key(kid, [&out](JwkEntry* e) { out = e; });
    return out;
}

}  // namespace fenra::oidc
