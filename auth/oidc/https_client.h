// The HTTPS client of the OIDC backend: one blocking request per call, one
// connection per request, HTTP/1.1 with "Connection: close", the response read
// until the server closes. The peer certificate must chain to the configured
// CA file (or a system bundle) and name the host of the URL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace fenra::oidc {

inline constexpr size_t kMaxHostLen = 255;
inline constexpr size_t kMaxRequestHead = 4096;  // request line and Host header
inline constexpr size_t kMaxResponse = 262144;   // status line, headers and body
inline constexpr size_t kMaxCaPathLen = 1023;

// A response: the status of its status line and the body after the header
// block. The body is wiped when the response is destroyed (token answers carry
// credentials).
struct HttpsResponse {
    uint16_t status = 0;
    std::unique_ptr<char[]> data;  // the body, owned
    size_t size = 0;

    std::string_view body() const { return {data.get(), size}; }

    HttpsResponse() = default;
    HttpsResponse(HttpsResponse&&) noexcept = default;
    HttpsResponse& operator=(HttpsResponse&&) noexcept = default;
    ~HttpsResponse();
};

// Every phase of an exchange is bounded: connecting, the TLS handshake,
// writing the request and each wait for response bytes, each by phase_ms, and
// the whole exchange by total_ms.
struct HttpsBounds {
    int phase_ms = 10000;
    int total_ms = 30000;
};

Result<HttpsResponse> https_request(std::string_view method, std::string_view url,
                                    std::optional<std::string_view> body,
                                    std::optional<std::string_view> content_type,
                                    std::optional<std::string_view> ca_file,
                                    HttpsBounds bounds = {});

// The request function as a value, so the backend can be given another one.
using HttpsTransport = std::function<Result<HttpsResponse>(
    std::string_view method, std::string_view url, std::optional<std::string_view> body,
    std::optional<std::string_view> content_type, std::optional<std::string_view> ca_file)>;

// The parts of an https URL.
struct UrlParts {
    std::string_view host;
    uint16_t port = 443;
    std::string_view path;  // "/" when the URL has none
};

// Splits an https URL: InvalidUrl for another scheme or an empty host,
// ConnectionFailed for a host longer than 255 bytes.
Result<UrlParts> split_url(std::string_view url);

// Parses a complete response: the status line and the end of the header
// block. The body view points into raw. InvalidResponse when either is wrong.
struct ParsedResponse {
    uint16_t status = 0;
    std::string_view body;
};
Result<ParsedResponse> parse_response(std::string_view raw);

}  // namespace fenra::oidc
