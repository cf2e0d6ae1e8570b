// The DER walk to the SubjectPublicKeyInfo and the DANE match over arbitrary
// certificate bytes: the walk stays inside the bytes, and a record made from
// the bytes the selector picks always matches.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "s2s/net/dane.h"

namespace {

std::vector<uint8_t> sha256(std::span<const uint8_t> b) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(b.data(), b.size(), out, &len, EVP_sha256(), nullptr);
    return {out, out + len};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace fenra::s2s;
    const std::span<const uint8_t> cert(data, size);
    if (auto spki = find_spki(cert)) {
        if (spki->data() < data || spki->data() + spki->size() > data + size || spki->size() < 2)
            std::abort();
    }
    const auto selected = dane_selected_bytes(cert, 1);
    const std::vector<TlsaRecord> ee{
        {sha256(selected), 3, 1, 1},
    };
    if (dane_match(cert, {}, ee, "b.test") != DaneResult::verified) std::abort();
    // The trust-anchor usage parses the bytes as certificates and checks a path.
    const std::vector<Der> chain{Der(data, data + size)};
    const std::vector<TlsaRecord> anchor{
        {sha256(cert), 2, 0, 1},
        {std::vector<uint8_t>(selected.begin(), selected.end()), 0, 1, 0},
    };
    (void)dane_match(cert, chain, anchor, "b.test");
    return 0;
}
