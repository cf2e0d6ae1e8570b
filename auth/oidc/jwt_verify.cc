#include "auth/oidc/jwt_verify.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

namespace fenra::oidc {
namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// SHA-256, fetched once for the life of the process.
const EVP_MD* sha256() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

// The SHA-256 of data, with one digest context kept for the life of the
// process (the daemon checks one token at a time).
bool sha256_of(std::string_view data, unsigned char (&out)[32]) {
    static EVP_MD_CTX* const ctx = EVP_MD_CTX_new();
    unsigned int len = 0;
    return ctx && sha256() && EVP_DigestInit_ex2(ctx, sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx, data.data(), data.size()) == 1 &&
           EVP_DigestFinal_ex(ctx, out, &len) == 1 && len == 32;
}

// The entry's key, built on first use.
EVP_PKEY* entry_key(JwkEntry& entry) {
    if (entry.key) return entry.key.get();
    if (entry.key_failed) return nullptr;
    entry.key =
        entry.kind == JwkKind::rsa ? build_rsa_key(entry.n, entry.e) : build_ed25519_key(entry.x);
    entry.key_failed = !entry.key;
    return entry.key.get();
}

// The entry's RSA verify context: PKCS#1 v1.5 padding over a SHA-256
// digest, set up once. The RSA key of a token check is the same every time,
// so only the digest and the signature change.
EVP_PKEY_CTX* rsa_verifier(JwkEntry& entry) {
    if (entry.verifier) return entry.verifier.get();
    EVP_PKEY* key = entry_key(entry);
    if (!key || !sha256()) return nullptr;
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), sha256()) != 1) {
        entry.key_failed = true;
        ERR_clear_error();
        return nullptr;
    }
    entry.verifier = std::move(ctx);
    return entry.verifier.get();
}

// The entry's Ed25519 verify context, set up once. A one-shot verify may not
// be repeated on one context, so each check works on a copy of it.
EVP_MD_CTX* eddsa_verifier(JwkEntry& entry) {
    if (entry.eddsa_verifier) return entry.eddsa_verifier.get();
    EVP_PKEY* key = entry_key(entry);
    if (!key) return nullptr;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1) {
        entry.key_failed = true;
        ERR_clear_error();
        return nullptr;
    }
    entry.eddsa_verifier = std::move(ctx);
    return entry.eddsa_verifier.get();
}

}  // namespace

PkeyPtr build_rsa_key(std::string_view n, std::string_view e) {
    unsigned char nb[kMaxRsaModulus];
    unsigned char eb[kMaxRsaExponent];
    const auto nlen = base64url_decode(n, nb, sizeof nb);
    const auto elen = base64url_decode(e, eb, sizeof eb);
    if (!nlen || !elen) return nullptr;

    BnPtr bn_n(BN_bin2bn(nb, static_cast<int>(*nlen), nullptr));
    BnPtr bn_e(BN_bin2bn(eb, static_cast<int>(*elen), nullptr));
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
    EVP_PKEY* key = nullptr;
    if (bn_n && bn_e && ctx && bld && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, bn_n.get()) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, bn_e.get()) == 1) {
        std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
        if (params) EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get());
    }
    ERR_clear_error();
    return PkeyPtr(key);
}

PkeyPtr build_ed25519_key(std::string_view x) {
    unsigned char raw[64];
    const auto len = base64url_decode(x, raw, sizeof raw);
    if (!len || *len != 32) return nullptr;
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, 32);
    ERR_clear_error();
    return PkeyPtr(key);
}

bool verify_rs256(std::string_view signing_input, std::string_view signature, JwkEntry& entry) {
    unsigned char sig[kMaxRsaSignature];
    const auto len = base64url_decode(signature, sig, sizeof sig);
    if (!len || entry.kind != JwkKind::rsa) return false;
    EVP_PKEY_CTX* verifier = rsa_verifier(entry);
    if (!verifier) return false;

    unsigned char digest[32];
    const bool good = sha256_of(signing_input, digest) &&
                      EVP_PKEY_verify(verifier, sig, *len, digest, sizeof digest) == 1;
    ERR_clear_error();
    return good;
}

bool verify_eddsa(std::string_view signing_input, std::string_view signature, JwkEntry& entry) {
    unsigned char sig[128];
    const auto len = base64url_decode(signature, sig, sizeof sig);
    if (!len || *len != 64 || entry.kind != JwkKind::okp) return false;
    const EVP_MD_CTX* verifier = eddsa_verifier(entry);
    if (!verifier) return false;

    // One working context for the life of the process (the daemon checks one
    // token at a time), emptied after each check.
    static EVP_MD_CTX* const ctx = EVP_MD_CTX_new();
    const bool good =
        ctx && EVP_MD_CTX_copy_ex(ctx, verifier) == 1 &&
        EVP_DigestVerify(ctx, sig, 64, reinterpret_cast<const unsigned char*>(signing_input.data()),
                         signing_input.size()) == 1;
    if (ctx) EVP_MD_CTX_reset(ctx);
    ERR_clear_error();
    return good;
}

}  // namespace fenra::oidc
