// Bearer tokens: base64url decoding (checked against a re-encoding), the JWT
// split and decode, the JSON reader on header and payload, and the whole
// validation with the fixed provider keys and clock.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "auth/oidc/json_doc.h"
#include "auth/oidc/jwks_cache.h"
#include "auth/oidc/token_validation.h"
#include "fuzz/token_fuzz.h"

namespace {

using namespace fenra::oidc;

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

// A text that decodes is the one canonical spelling of its bytes.
void check_base64(std::string_view text) {
    static unsigned char out[kMaxBase64Text];
    const auto n = base64url_decode(text, out, sizeof out);
    if (!n) return;
    if (encode(out, *n) != text) std::abort();
    if (*n > 0 && base64url_decode(text, out, *n - 1)) std::abort();
}

// Whatever the text, the parser answers an object or an error, and typed
// reads of it answer a value of their type, nothing, or an error.
void check_json(std::string_view text) {
    static JsonParser json(kMaxJwtPayload);
    const auto o = json.parse_object(text);
    if (!o) return;
    for (std::string_view name : {"sub", "iss", "preferred_username", "email", "kid", "alg"})
        (void)string_member(*o, name);
    for (std::string_view name : {"exp", "nbf", "iat"}) {
        const auto d = date_member(*o, name);
        if (d && *d && (**d < 0 || **d > kMaxNumericDate)) std::abort();
    }
    if (const auto aud = member(*o, "aud")) (void)names_one_of(*aud, {"fenra-xmpp"});
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
            check_json(jwt.header());
            check_json(jwt.payload());
        }
    }

    static std::string introspection =
        R"({"active":true,"client_id":"fenra-xmpp","username":"intro@example.org"})";
    static OidcBackend* backend = [] {
        auto* b = new OidcBackend(fenra::fuzzing::token_config());
        b->set_transport(fenra::fuzzing::scripted_provider(&introspection));
        b->set_clock([] { return fenra::fuzzing::kNow; });
        return b;
    }();
    bool answered = false;
    backend->check_token(token, [&answered](const TokenCheck& c) {
        answered = true;
        if (c.outcome != Outcome::accepted) return;
        // An accepted name is normalised: no domain, no capital, no blank.
        const std::string_view user = c.identity.username;
        if (user.empty() || user.size() > kMaxUsername || c.identity.picture.size() > kMaxPicture)
            std::abort();
        for (const char ch : user)
            if (ch == '@' || (ch >= 'A' && ch <= 'Z') || static_cast<unsigned char>(ch) <= 0x20)
                std::abort();
    });
    // The scripted provider answers at once, so every check ends at once.
    if (!answered) std::abort();
    return 0;
}
