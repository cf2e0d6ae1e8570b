// The walk over DNS replies that the SRV and TLSA lookups use: any bytes must
// give records or ParseError, never a read outside the reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "s2s/net/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> msg(data, size);
    auto srv = fenra::s2s::parse_srv_answer(msg);
    if (srv) {
        fenra::s2s::sort_srv_records(*srv);
        for (size_t i = 0; i < srv->size(); ++i) {
            const auto& r = (*srv)[i];
            if (r.target.empty()) std::abort();
            if (i > 0) {
                const auto& p = (*srv)[i - 1];
                if (p.priority > r.priority || (p.priority == r.priority && p.weight < r.weight))
                    std::abort();
            }
        }
    }
    auto tlsa = fenra::s2s::parse_tlsa_answer(msg);
    if (tlsa.ok() != srv.ok()) std::abort();  // one layout check for both
    if (tlsa) {
        for (const auto& r : *tlsa)
            if (r.data.size() + 3 > size) std::abort();
    }
    return 0;
}
