// Bearer tokens: base64url decoding (checked against a re-encoding), the JWT
// split and decode, the claim extractors and the audience forms, and the
// whole validation with the fixed provider keys and clock.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/token_validation.h"
#include "fuzz/token_fuzz.h"

namespace {

using namespace fenra::oidc;

bool within(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

std::string encode(const unsigned char* p, size_t n) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | p[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(alphabet[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(alphabet[(acc << (6 - bits)) & 63]);
    return out;
}

// A text that decodes is the one canonical spelling of its bytes, up to
// padding and the two spellings of the last two alphabet letters.
void check_base64(std::string_view text) {
    static unsigned char out[kMaxBase64Text];
    const auto n = base64url_decode(text, out, sizeof out);
    if (!n) return;
    std::string expect(text.substr(0, text.find_last_not_of('=') + 1));
    for (char& c : expect) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    if (encode(out, *n) != expect) std::abort();
    if (*n > 0 && base64url_decode(text, out, *n - 1)) std::abort();
}

void check_claims(std::string_view payload) {
    for (std::string_view name : {"\"sub\"", "\"iss\"", "\"aud\"", "\"preferred_username\"",
                                  "\"email\"", "\"picture\"", "\"kid\""}) {
        const auto v = json_string_field(payload, name);
        if (v && !within(*v, payload)) std::abort();
    }
    if (json_number_field(payload, "\"exp\"") < 0) std::abort();
    const AudienceCheck aud = check_audience(payload, "fenra-xmpp");
    if (!within(aud.shown, payload)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fenra::fuzzing::quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view token(reinterpret_cast<const char*>(data), size);
    check_base64(token);

    if (const auto parts = split_jwt(token)) {
        if (parts->header.size() + parts->payload.size() + parts->signature.size() + 2 != size)
            std::abort();
        static DecodedJwt jwt;
        if (decode_jwt(*parts, jwt)) {
            check_claims(jwt.header());
            check_claims(jwt.payload());
        }
    }

    static std::string introspection = R"({"active":true,"username":"intro@example.org"})";
    static OidcBackend* backend = [] {
        auto* b = new OidcBackend(fenra::fuzzing::token_config());
        b->set_transport(fenra::fuzzing::scripted_provider(&introspection));
        b->set_clock([] { return fenra::fuzzing::kNow; });
        return b;
    }();
    const auto id = backend->validate_token(token);
    if (id &&
        (id->username.empty() || id->username.size() > kMaxUsername ||
         id->picture.size() > kMaxPicture || id->username.find('@') != std::string_view::npos))
        std::abort();
    return 0;
}
