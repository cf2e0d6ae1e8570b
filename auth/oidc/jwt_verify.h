// JWT signature checks with a cached key: RS256 (RSASSA-PKCS1-v1_5 with
// SHA-256) for RSA keys and EdDSA (Ed25519) for OKP keys, over OpenSSL's EVP
// interfaces. The signing input is the token's header and payload parts with
// the dot between them; the signature is the third part, still base64url.
// The public key and a verify context over it are built from the entry's
// material on first use and kept in the entry; material that makes no key
// fails every check.
#pragma once

#include <string_view>

#include "auth/oidc/jwks_cache.h"

namespace fenra::oidc {

inline constexpr size_t kMaxRsaSignature = 512;
inline constexpr size_t kMaxRsaModulus = 4096;
inline constexpr size_t kMaxRsaExponent = 16;

bool verify_rs256(std::string_view signing_input, std::string_view signature, JwkEntry& entry);
bool verify_eddsa(std::string_view signing_input, std::string_view signature, JwkEntry& entry);

// The public keys, as the verifiers build them (nullptr when the material is
// not a key).
PkeyPtr build_rsa_key(std::string_view n, std::string_view e);
PkeyPtr build_ed25519_key(std::string_view x);

}  // namespace fenra::oidc
