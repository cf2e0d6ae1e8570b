// JWKS documents from the provider: the JSON parser, the key filters, the
// cache refresh around them, and building public keys from whatever material
// the document holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/jwt_verify.h"
#include "fuzz/token_fuzz.h"

namespace {

using namespace fenra::oidc;

// Signatures of the right lengths, so key building and the checks run.
constexpr std::string_view kInput = "eyJhbGciOiJSUzI1NiJ9.e30";
const std::string kRsaSig(342, 'A');
const std::string kEdSig(86, 'A');

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fenra::fuzzing::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view doc(reinterpret_cast<const char*>(data), size);

    static std::string body;
    static int64_t now = fenra::fuzzing::kNow;
    static ImmediateTransport transport(
        [](std::string_view, std::string_view, std::optional<std::string_view>,
           std::optional<std::string_view>,
           std::optional<std::string_view>) -> fenra::Result<HttpsResponse> {
            return fenra::fuzzing::scripted_response(200, body);
        },
        std::nullopt);
    static const WallClock clock = [] { return now; };
    static JwksCache cache(fenra::fuzzing::token_config(), transport, clock);

    body.assign(doc);
    const size_t before = cache.key_count();
    // A document without usable keys keeps the keys there were.
    if (!cache.refresh_jwks() && cache.key_count() != before) std::abort();
    if (cache.key_count() > kMaxJwks) std::abort();
    now += 400;  // past any back-off, so the next document is fetched

    for (size_t i = 0; i < cache.key_count(); ++i) {
        const JwkEntry& e = cache.key(i);
        if (e.kid.empty()) std::abort();
        if (e.kind == JwkKind::rsa && (!e.x.empty() || e.n.empty() || e.e.empty())) std::abort();
        if (e.kind == JwkKind::okp && (!e.n.empty() || !e.e.empty() || e.x.empty())) std::abort();
    }
    // Lookups find what extraction kept; the first key with a kid wins.
    for (size_t i = 0; i < cache.key_count(); ++i) {
        const std::string kid(cache.key(i).kid);
        JwkEntry* found = cache.find_key(kid);
        if (found == nullptr || found->kid != kid || found > &cache.key(i)) std::abort();
        // Whatever the material, building and checking must be safe.
        if (found->kind == JwkKind::rsa)
            (void)verify_rs256(kInput, kRsaSig, *found);
        else
            (void)verify_eddsa(kInput, kEdSig, *found);
    }
    return 0;
}
