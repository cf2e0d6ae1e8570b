// What a credential check with the provider came to. A provider that cannot
// be reached, does not answer in time or answers with a 5xx status has not
// judged the credential: such a check is unavailable, never rejected.
#pragma once

#include <cstdint>

#include "auth/oidc/https_client.h"

namespace fenra::oidc {

enum class Outcome : uint8_t { accepted, rejected, unavailable };

// True for a transport failure or a 5xx answer.
inline bool provider_unavailable(const Result<HttpsResponse>& r) {
    return !r || (r->status >= 500 && r->status <= 599);
}

}  // namespace fenra::oidc
