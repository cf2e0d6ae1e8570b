// The provider's signing keys, fetched from its JWKS URI and parsed as JSON.
// A key is kept when it has a "kid", is an RSA key of at least 2048 bits or
// an Ed25519 key ("kty" "OKP", "crv" "Ed25519"), has no "use" other than
// "sig", and no "alg" other than the one its type signs with (RS256, EdDSA).
// At most 16 keys are kept, in document order. An answer without a usable key
// keeps the last good set.
//
// Refresh policy of with_key: a cache older than an hour is refreshed first
// (a failure keeps the old keys); a kid that is not cached triggers one more
// refresh, but at most once every 30 seconds, so unknown key ids cannot make
// the daemon hammer the provider. After a failed refresh the next attempt
// waits 30 seconds, doubling up to 5 minutes. One refresh runs at a time:
// whoever needs it waits for the one in progress, while a key that is cached
// and fresh is handed out at once.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/oidc/https_client.h"
#include "auth/oidc/oidc_config.h"
#include "runtime/result.h"

namespace fenra::oidc {

// Wall-clock seconds since 1970; tests substitute their own.
using WallClock = std::function<int64_t()>;
int64_t system_seconds();

// Decodes base64url text (RFC 4648 section 5, without padding) into out:
// at most 8192 characters of the URL alphabet ("=", "+" and "/" are not part
// of it), no lone final character, no stray bits in the last character.
// InvalidBase64 for bad text, BufferTooSmall when the decoded length exceeds
// cap.
inline constexpr size_t kMaxBase64Text = 8192;
Result<size_t> base64url_decode(std::string_view text, unsigned char* out, size_t cap);

enum class JwkKind : uint8_t { rsa = 0, okp = 1 };

struct PkeyFree {
    void operator()(EVP_PKEY* key) const;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const;
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const;
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// One cached key, with its own copy of the material; the built public key
// and its verify context are made on first use and dropped with the entry.
struct JwkEntry {
    std::string kid;
    std::string n;  // RSA modulus, base64url; empty for okp
    std::string e;  // RSA exponent, base64url; empty for okp
    std::string x;  // Ed25519 public key, base64url; empty for rsa
    JwkKind kind = JwkKind::rsa;
    PkeyPtr key{};              // built from n and e, or x
    PkeyCtxPtr verifier{};      // RSA: PKCS#1 v1.5 verification with SHA-256, ready
    MdCtxPtr eddsa_verifier{};  // Ed25519: verification set up, to be copied for each check
    bool key_failed = false;    // the material did not make a key
};

inline constexpr size_t kMaxJwks = 16;
inline constexpr size_t kMinRsaBits = 2048;

// Fills out with the usable keys of a JWKS document (at most cap); returns
// how many, or the parser's error for a document that is not a JSON object
// without repeated members.
Result<size_t> extract_jwks_keys(std::string_view document, JwkEntry* out, size_t cap);

class JwksCache {
  public:
    static constexpr int64_t kRefreshInterval = 3600;  // seconds
    static constexpr int64_t kKidMissCooldown = 30;    // seconds between kid-miss refreshes
    static constexpr int64_t kFirstBackoff = 30;       // seconds after a failed refresh
    static constexpr int64_t kMaxBackoff = 300;

    // Called with the key for a kid, nullptr when there is none; the entry is
    // valid during the call.
    using KeyWaiter = std::function<void(JwkEntry*)>;

    // The references must outlive the cache (the backend owns all of them).
    JwksCache(const OidcConfig& config, HttpsTransport& transport, const WallClock& clock);
    ~JwksCache();
    JwksCache(const JwksCache&) = delete;
    JwksCache& operator=(const JwksCache&) = delete;

    // Fetches the document and replaces the cached keys, unless a refresh is
    // in progress; then gets the result when it ends. On failure, or when the
    // answer holds no usable key, the cache is unchanged; a failure makes the
    // next refresh of with_key wait (30 s, doubling to 5 min).
    void refresh(std::function<void(Result<void>)> then = {});

    // Calls then with the first cached key with this kid (byte for byte)
    // after the refresh policy: at once, or when the refresh it needs ends.
    // Returns 0 when then was called at once, else the wait's number.
    uint64_t with_key(std::string_view kid, KeyWaiter then);
    // The cached key with this kid while the cache needs no refresh at time
    // now (what with_key would hand on at once), else nullptr.
    JwkEntry* fresh_key(std::string_view kid, int64_t now);
    // Forgets a wait: its waiter is not called.
    void cancel_wait(uint64_t wait);
    bool refreshing() const { return refreshing_; }

    // For transports that answer at once (tests, fuzzing): refresh and
    // with_key, returning what they hand on.
    Result<void> refresh_jwks();
    JwkEntry* find_key(std::string_view kid);

    size_t key_count() const { return key_count_; }
    const JwkEntry& key(size_t i) const { return keys_[i]; }
    int64_t fetched_at() const { return fetched_at_; }
    // True while the provider could not be asked: the last refresh failed
    // with a transport error or a 5xx answer.
    bool unavailable() const { return unavailable_; }

  private:
    static constexpr int64_t kNever = INT64_MIN;

    struct Waiter {
        uint64_t number;
        std::string kid;
        KeyWaiter then;
    };

    JwkEntry* lookup(std::string_view kid);
    bool stale(int64_t now) const;
    uint64_t wait_for_refresh(std::string_view kid, KeyWaiter then);
    Result<void> apply(Result<HttpsResponse>&& r, int64_t now);
    bool kid_miss_allowed(int64_t now) const;
    bool refresh_allowed(int64_t now) const { return now >= next_attempt_; }
    void refresh_failed(int64_t now, bool unavailable);

    const OidcConfig& config_;
    HttpsTransport& transport_;
    const WallClock& clock_;
    bool refreshing_ = false;
    ExchangeId exchange_ = 0;
    std::vector<std::function<void(Result<void>)>> refresh_done_;
    std::vector<Waiter> waiters_;
    uint64_t last_wait_ = 0;

    JwkEntry keys_[kMaxJwks];
    size_t key_count_ = 0;
    int64_t fetched_at_ = kNever;     // stale until the first refresh
    int64_t last_kid_miss_ = kNever;  // time of the last kid-miss refresh attempt
    int64_t next_attempt_ = kNever;   // no refresh before this time
    int64_t backoff_ = 0;             // the last wait after a failure; 0 after a success
    bool unavailable_ = false;
};

}  // namespace fenra::oidc
