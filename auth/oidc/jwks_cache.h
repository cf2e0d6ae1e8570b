// The provider's signing keys, fetched from its JWKS URI and kept as the raw
// document text. Keys are found with byte searches for quoted member names,
// not with a JSON parser: each key is the innermost object that holds a "kid"
// member, and its "kty", "n", "e" and "x" members are taken from that object
// alone. At most 16 keys are kept, in the order their objects close.
//
// Refresh policy of find_key: a cache older than an hour is refreshed first
// (a failure keeps the old keys); a kid that is not cached triggers one more
// refresh, but at most once every 30 seconds, so unknown key ids cannot make
// the daemon hammer the provider.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_config.h"
#include "runtime/result.h"

namespace fenra::oidc {

// Wall-clock seconds since 1970; tests substitute their own.
using WallClock = std::function<int64_t()>;
int64_t system_seconds();

// Decodes base64url text (RFC 4648 section 5, padding optional) into out.
// The text is padded with "=" to a multiple of 4 bytes, at most 8192; "-" and
// "_" stand for "+" and "/", and the result is decoded as strict base64 (no
// stray characters, no lone final character, no stray bits in the last
// character). InvalidBase64 for bad text, BufferTooSmall when the decoded
// length exceeds cap.
inline constexpr size_t kMaxBase64Text = 8192;
Result<size_t> base64url_decode(std::string_view text, unsigned char* out, size_t cap);

// The string value of the first member named quoted_name (for example
// "\"sub\""): the first occurrence of the quoted name that is followed, after
// blanks, by a colon; then blanks and colons are skipped and the value runs
// from the next double quote to the next double quote not escaped by a
// backslash. Escapes are not decoded. nullopt when there is no such member,
// its value is not a string, or the closing quote is missing.
std::optional<std::string_view> json_string_field(std::string_view text,
                                                  std::string_view quoted_name);

// The index of the double quote that closes the string opened at text[open]
// (a backslash skips the byte after it), or npos.
size_t json_string_end(std::string_view text, size_t open);

// The raw content of the string that opens at text[at], or nullopt when
// there is no double quote at that index or the string does not close.
std::optional<std::string_view> json_string_at(std::string_view text, size_t at);

// Where the value of the first member named quoted_name begins (after the
// colon and any blanks and colons), or nullopt when there is no such member.
std::optional<size_t> json_member_value(std::string_view text, std::string_view quoted_name);

enum class JwkKind : uint8_t { rsa = 0, okp = 1 };

struct PkeyFree {
    void operator()(EVP_PKEY* key) const;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const;
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// One cached key. The views point into the cache's document; the built
// public key (and for RSA its verify context) is made on first use and
// dropped with the document.
struct JwkEntry {
    std::string_view kid;  // raw JSON string content
    std::string_view n;    // RSA modulus, base64url; empty for okp
    std::string_view e;    // RSA exponent, base64url; empty for okp
    std::string_view x;    // Ed25519 public key, base64url; empty for rsa
    JwkKind kind = JwkKind::rsa;
    PkeyPtr key{};            // built from n and e, or x
    PkeyCtxPtr verifier{};    // RSA: PKCS#1 v1.5 verification with SHA-256, ready
    bool key_failed = false;  // the material did not make a key
};

inline constexpr size_t kMaxJwks = 16;

// Fills out with the usable keys of a JWKS document (at most cap); returns
// how many. Entries point into document.
size_t extract_jwks_keys(std::string_view document, JwkEntry* out, size_t cap);

class JwksCache {
  public:
    static constexpr int64_t kRefreshInterval = 3600;  // seconds
    static constexpr int64_t kKidMissCooldown = 30;    // seconds between kid-miss refreshes

    // The references must outlive the cache (the backend owns all of them).
    JwksCache(const OidcConfig& config, const HttpsTransport& transport, const WallClock& clock);
    JwksCache(const JwksCache&) = delete;
    JwksCache& operator=(const JwksCache&) = delete;

    // Fetches the document and replaces the cache. On failure the cache is
    // unchanged.
    Result<void> refresh_jwks();

    // The first cached key with this kid (byte for byte), after the refresh
    // policy; nullptr when there is none. The entry is valid until the next
    // call that can refresh.
    JwkEntry* find_key(std::string_view kid);

    size_t key_count() const { return key_count_; }
    const JwkEntry& key(size_t i) const { return keys_[i]; }
    std::string_view document() const { return {document_.get(), document_len_}; }
    int64_t fetched_at() const { return fetched_at_; }

  private:
    static constexpr int64_t kNever = INT64_MIN;

    JwkEntry* lookup(std::string_view kid);
    bool kid_miss_allowed(int64_t now) const;

    const OidcConfig& config_;
    const HttpsTransport& transport_;
    const WallClock& clock_;

    std::unique_ptr<char[]> document_;
    size_t document_len_ = 0;
    JwkEntry keys_[kMaxJwks];
    size_t key_count_ = 0;
    int64_t fetched_at_ = kNever;     // stale until the first refresh
    int64_t last_kid_miss_ = kNever;  // time of the last kid-miss refresh attempt
};

}  // namespace fenra::oidc
