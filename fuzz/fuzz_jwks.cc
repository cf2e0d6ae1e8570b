// JWKS documents from the provider: key extraction from each key's own
// object, the cache refresh around it, and building public keys from
// whatever material the document holds.
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

bool within(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

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
    static const HttpsTransport transport =
        [](std::string_view, std::string_view, std::optional<std::string_view>,
           std::optional<std::string_view>,
           std::optional<std::string_view>) -> fenra::Result<HttpsResponse> {
        return fenra::fuzzing::scripted_response(200, body);
    };
    static const WallClock clock = [] { return now; };
    static JwksCache cache(fenra::fuzzing::token_config(), transport, clock);

    body.assign(doc);
    if (!cache.refresh_jwks()) std::abort();
    const std::string_view kept = cache.document();
    if (kept != doc || cache.key_count() > kMaxJwks) std::abort();

    for (size_t i = 0; i < cache.key_count(); ++i) {
        const JwkEntry& e = cache.key(i);
        if (!within(e.kid, kept) || !within(e.n, kept) || !within(e.e, kept) || !within(e.x, kept))
            std::abort();
        if (e.kind == JwkKind::rsa && !e.x.empty()) std::abort();
        if (e.kind == JwkKind::okp && (!e.n.empty() || !e.e.empty())) std::abort();
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
