// The HTTPS client of the OIDC backend: libcurl's multi interface on the
// daemon's event loop. Exchanges run side by side and never block the loop;
// each ends in one call of its completion, from the loop, in the order they
// finish. HTTPS only, the peer certificate verified against the configured CA
// file (or curl's default bundle) and for the host of the URL, no redirects,
// connections to the provider kept alive and reused, host names resolved
// without blocking. A response body over kMaxResponse bytes is an error
// (StreamTooLong), whatever its framing; so is a body whose end the server
// does not mark (no length, no chunks: InvalidResponse), since a cut
// connection could not be told from its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "runtime/event_loop.h"
#include "runtime/result.h"

namespace fenra::oidc {

inline constexpr size_t kMaxResponse = 262144;  // body bytes

// A response: its status and body. The body is wiped when the response is
// destroyed (token answers carry credentials).
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

// Connecting (address lookup, TCP and TLS) within connect_ms, the whole
// exchange within total_ms.
struct HttpsBounds {
    int connect_ms = 10000;
    int total_ms = 30000;
};

// One request. The views need to live only for the call that starts it: the
// client keeps its own copies (the body wiped when the exchange ends).
struct HttpsRequest {
    std::string_view method;  // "GET" or "POST"
    std::string_view url;
    std::optional<std::string_view> body;
    std::optional<std::string_view> content_type;
};

// Called once per exchange that was not cancelled. Errors: InvalidUrl (not
// an https URL), ConnectionFailed (no address, refused, connect or handshake
// time-out), TlsHandshakeFailed (certificate or host not trusted),
// InvalidResponse (no well-formed answer in time, a cut body), StreamTooLong.
using HttpsDone = std::function<void(Result<HttpsResponse>&&)>;

// 0 is never an exchange's id.
using ExchangeId = uint64_t;

// Exchanges as the backend sees them; unit tests substitute their own.
class HttpsTransport {
  public:
    virtual ~HttpsTransport() = default;
    // Starts an exchange. done is called later, from the loop (a test's
    // transport may call it before returning).
    virtual ExchangeId start(const HttpsRequest& request, HttpsDone done) = 0;
    // Ends an exchange in progress without calling its completion (nothing
    // for one that has ended).
    virtual void cancel(ExchangeId id) = 0;
};

// A transport that answers every request at once with a function's result
// (tests, fuzzing); ca_file is the one it reports to the function.
using HttpsCall = std::function<Result<HttpsResponse>(
    std::string_view method, std::string_view url, std::optional<std::string_view> body,
    std::optional<std::string_view> content_type, std::optional<std::string_view> ca_file)>;

class ImmediateTransport final : public HttpsTransport {
  public:
    ImmediateTransport(HttpsCall call, std::optional<std::string_view> ca_file)
        : call_(std::move(call)), ca_file_(ca_file) {}
    ExchangeId start(const HttpsRequest& request, HttpsDone done) override {
        done(call_(request.method, request.url, request.body, request.content_type, ca_file_));
        return ++last_;
    }
    void cancel(ExchangeId) override {}

  private:
    HttpsCall call_;
    std::optional<std::string_view> ca_file_;
    ExchangeId last_ = 0;
};

class HttpsClient final : public HttpsTransport {
  public:
    // Errors: Unexpected when libcurl cannot resolve names without blocking
    // (no CURL_VERSION_ASYNCHDNS), OutOfMemory.
    static Result<std::unique_ptr<HttpsClient>> create(EventLoop& loop,
                                                       std::optional<std::string_view> ca_file,
                                                       HttpsBounds bounds = {});
    ~HttpsClient() override;
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    ExchangeId start(const HttpsRequest& request, HttpsDone done) override;
    void cancel(ExchangeId id) override;

    size_t in_progress() const;

    struct Impl;

  private:
    explicit HttpsClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace fenra::oidc
