#include "auth/oidc/https_client.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "runtime/log.h"

namespace fenra::oidc {
namespace {

constexpr std::string_view kScope = "oidc_store";

// Everything one exchange holds. The request body carries credentials and
// the response may carry tokens, so both are wiped.
struct Exchange {
    ExchangeId id = 0;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string url;
    std::string method;
    std::unique_ptr<char[]> body;
    size_t body_len = 0;
    std::unique_ptr<char[]> data;  // the response body so far
    size_t size = 0;
    size_t cap = 0;
    bool too_large = false;
    bool head_ended = false;
    HttpsDone done;

    ~Exchange() {
        if (body) OPENSSL_cleanse(body.get(), body_len);
        if (data) OPENSSL_cleanse(data.get(), size);
        curl_slist_free_all(headers);
    }

    // Appends response bytes; false when they do not fit the limit.
    bool append(const char* p, size_t n) {
        if (n > kMaxResponse - size) return false;
        if (size + n > cap) {
            const size_t want = std::min(kMaxResponse, std::max({size + n, cap * 2, size_t{4096}}));
            std::unique_ptr<char[]> grown(new (std::nothrow) char[want]);
            if (!grown) return false;
            if (size > 0) std::memcpy(grown.get(), data.get(), size);
            if (data) OPENSSL_cleanse(data.get(), size);
            data = std::move(grown);
            cap = want;
        }
        std::memcpy(data.get() + size, p, n);
        size += n;
        return true;
    }
};

// The blank line that ends the response head.
size_t on_header(char* p, size_t size, size_t n, void* userdata) {
    const std::string_view line(p, size * n);
    if (line == "\r\n" || line == "\n") static_cast<Exchange*>(userdata)->head_ended = true;
    return size * n;
}

size_t on_body(char* p, size_t size, size_t n, void* userdata) {
    auto* x = static_cast<Exchange*>(userdata);
    if (size != 1 || !x->append(p, n)) {
        x->too_large = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    return n;
}

// What a failed transfer means to the backend. A time-out is named for the
// phase it struck: while connecting (TCP and TLS), or after.
Error failure(CURLcode code, CURL* easy) {
    switch (code) {
        case CURLE_URL_MALFORMAT:
            return Error::InvalidUrl;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return Error::ConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
            return Error::TlsHandshakeFailed;
        case CURLE_FILESIZE_EXCEEDED:
            return Error::StreamTooLong;
        case CURLE_SEND_ERROR:
            return Error::TlsWriteFailed;
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t secured = 0;
            curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &secured);
            return secured == 0 ? Error::ConnectionFailed : Error::InvalidResponse;
        }
        default:
            return Error::InvalidResponse;
    }
}

// Whether the server marked where the body ends: a length, chunks, or the
// frames of HTTP/2. Without that, a connection cut short (even by a TLS end
// without close_notify) would look like a whole body, so only answers that
// have no body (204, 304) may go without.
bool body_framed(CURL* easy) {
    curl_off_t length = -1;
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    if (length >= 0 || version >= CURL_HTTP_VERSION_2_0) return true;
    curl_header* h = nullptr;
    if (curl_easy_header(easy, "Transfer-Encoding", 0, CURLH_HEADER, -1, &h) != CURLHE_OK)
        return false;
    return std::string_view(h->value).find("chunked") != std::string_view::npos;
}

Result<HttpsResponse> outcome(Exchange& x, CURLcode code) {
    if (x.too_large) return Error::StreamTooLong;
    if (code != CURLE_OK) return failure(code, x.easy);
    long status = 0;
    curl_easy_getinfo(x.easy, CURLINFO_RESPONSE_CODE, &status);
    const bool bodiless = status == 204 || status == 304;
    if (!x.head_ended || (!bodiless && !body_framed(x.easy))) return Error::InvalidResponse;
    HttpsResponse resp;
    resp.status = static_cast<uint16_t>(std::clamp(status, 0L, 999L));
    resp.data = std::move(x.data);
    resp.size = x.size;
    x.size = 0;
    return resp;
}

}  // namespace

struct HttpsClient::Impl final : LoopHandler {
    Impl(EventLoop& l, std::optional<std::string_view> ca, HttpsBounds b)
        : loop(l), ca_file(ca ? std::optional<std::string>(*ca) : std::nullopt), bounds(b) {}

    ~Impl() override {
        for (auto& [id, x] : exchanges) {
            curl_multi_remove_handle(multi, x->easy);
            curl_easy_cleanup(x->easy);
        }
        exchanges.clear();
        if (multi) curl_multi_cleanup(multi);  // closes the kept connections
        loop.remove_timer(timer);
    }

    // The sockets' and the timer's events, handed to curl.
    void on_event(const LoopEvent& ev) override {
        int mask = 0;
        curl_socket_t s = ev.fd;
        switch (ev.kind) {
            case EventKind::timer:
                s = CURL_SOCKET_TIMEOUT;
                break;
            case EventKind::read:
                mask = CURL_CSELECT_IN;
                break;
            case EventKind::write:
                mask = CURL_CSELECT_OUT;
                break;
            case EventKind::error:
                mask = CURL_CSELECT_ERR;
                break;
            case EventKind::signal:
                return;
        }
        int running = 0;
        curl_multi_socket_action(multi, s, mask, &running);
        collect();
    }

    // Ends every finished transfer and calls its completion.
    void collect() {
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            char* priv = nullptr;
            curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &priv);
            const auto* x = reinterpret_cast<Exchange*>(priv);
            finish(x->id, m->data.result);
        }
    }

    void finish(ExchangeId id, CURLcode code) {
        auto it = exchanges.find(id);
        if (it == exchanges.end()) return;
        std::unique_ptr<Exchange> x = std::move(it->second);
        exchanges.erase(it);
        Result<HttpsResponse> r = outcome(*x, code);
        curl_multi_remove_handle(multi, x->easy);
        curl_easy_cleanup(x->easy);
        HttpsDone done = std::move(x->done);
        x.reset();
        done(std::move(r));
    }

    static int on_socket(CURL*, curl_socket_t s, int what, void* userp, void* socketp) {
        auto* c = static_cast<Impl*>(userp);
        if (what == CURL_POLL_REMOVE) {
            c->loop.remove(s);
            curl_multi_assign(c->multi, s, nullptr);
            return 0;
        }
        if (socketp == nullptr) {
            if (auto r = c->loop.add(s, *c, false); !r) {
                log::error(kScope, {"HTTPS: cannot watch a socket: ", r.error()});
                return -1;
            }
            curl_multi_assign(c->multi, s, c);
        }
        (void)c->loop.set_read(s, (what & CURL_POLL_IN) != 0);
        (void)c->loop.set_write(s, (what & CURL_POLL_OUT) != 0);
        return 0;
    }

    static int on_timer(CURLM*, long timeout_ms, void* userp) {
        auto* c = static_cast<Impl*>(userp);
        if (timeout_ms < 0) return c->loop.cancel_timer(c->timer) ? 0 : -1;
        return c->loop.arm_timer(c->timer, static_cast<uint64_t>(timeout_ms)) ? 0 : -1;
    }

    // A connection's socket leaves the loop before it is closed.
    static int on_close(void* clientp, curl_socket_t s) {
        static_cast<Impl*>(clientp)->loop.remove(s);
        return close(s);
    }

    EventLoop& loop;
    std::optional<std::string> ca_file;
    HttpsBounds bounds;
    CURLM* multi = nullptr;
    TimerId timer = 0;
    ExchangeId last = 0;
    std::map<ExchangeId, std::unique_ptr<Exchange>> exchanges;
};

HttpsResponse::~HttpsResponse() {
    if (data) OPENSSL_cleanse(data.get(), size);
}

Result<std::unique_ptr<HttpsClient>> HttpsClient::create(EventLoop& loop,
                                                         std::optional<std::string_view> ca_file,
                                                         HttpsBounds bounds) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised) return Error::OutOfMemory;
    const curl_version_info_data* v = curl_version_info(CURLVERSION_NOW);
    if ((v->features & CURL_VERSION_ASYNCHDNS) == 0) {
        log::error(kScope, {"libcurl ", v->version, " resolves host names only by blocking"});
        return Error::Unexpected;
    }
    auto impl = std::make_unique<Impl>(loop, ca_file, bounds);
    auto timer = loop.add_timer(*impl, 0);
    if (!timer) return timer.error();
    impl->timer = *timer;
    (void)loop.cancel_timer(impl->timer);
    impl->multi = curl_multi_init();
    if (impl->multi == nullptr) return Error::OutOfMemory;
    curl_multi_setopt(impl->multi, CURLMOPT_SOCKETFUNCTION, &Impl::on_socket);
    curl_multi_setopt(impl->multi, CURLMOPT_SOCKETDATA, impl.get());
    curl_multi_setopt(impl->multi, CURLMOPT_TIMERFUNCTION, &Impl::on_timer);
    curl_multi_setopt(impl->multi, CURLMOPT_TIMERDATA, impl.get());
    return std::unique_ptr<HttpsClient>(new HttpsClient(std::move(impl)));
}

HttpsClient::HttpsClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpsClient::~HttpsClient() = default;

size_t HttpsClient::in_progress() const {
    return impl_->exchanges.size();
}

ExchangeId HttpsClient::start(const HttpsRequest& request, HttpsDone done) {
    Impl& c = *impl_;
    auto x = std::make_unique<Exchange>();
    x->id = ++c.last;
    x->url = request.url;
    x->method = request.method;
    x->done = std::move(done);
    // Other schemes are refused before curl sees them (an answer in another
    // protocol is InvalidResponse).
    if (!x->url.starts_with("https://")) {
        x->done(Error::InvalidUrl);
        return x->id;
    }
    x->easy = curl_easy_init();
    if (x->easy == nullptr) {
        x->done(Error::OutOfMemory);
        return x->id;
    }
    CURL* e = x->easy;
    curl_easy_setopt(e, CURLOPT_URL, x->url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (c.ca_file) curl_easy_setopt(e, CURLOPT_CAINFO, c.ca_file->c_str());
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(c.bounds.connect_ms));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(c.bounds.total_ms));
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponse));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "fenra/0.1");
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, x.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, x.get());
    curl_easy_setopt(e, CURLOPT_PRIVATE, x.get());
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETFUNCTION, &Impl::on_close);
    curl_easy_setopt(e, CURLOPT_CLOSESOCKETDATA, &c);
    x->headers = curl_slist_append(x->headers, "Expect:");
    if (request.body) {
        x->body_len = request.body->size();
        x->body.reset(new (std::nothrow) char[x->body_len + 1]);
        if (!x->body) {
            curl_easy_cleanup(e);
            x->done(Error::OutOfMemory);
            return x->id;
        }
        if (x->body_len > 0) std::memcpy(x->body.get(), request.body->data(), x->body_len);
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, x->body.get());
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x->body_len));
        if (request.content_type) {
            const std::string line = "Content-Type: " + std::string(*request.content_type);
            x->headers = curl_slist_append(x->headers, line.c_str());
        }
    }
    if (x->method != (request.body ? "POST" : "GET"))
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, x->method.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, x->headers);

    const ExchangeId id = x->id;
    Exchange* raw = x.get();
    c.exchanges.emplace(id, std::move(x));
    if (curl_multi_add_handle(c.multi, e) != CURLM_OK) {
        auto owned = std::move(c.exchanges[id]);
        c.exchanges.erase(id);
        curl_easy_cleanup(raw->easy);
        HttpsDone d = std::move(raw->done);
        owned.reset();
        d(Error::OutOfMemory);
    }
    return id;
}

void HttpsClient::cancel(ExchangeId id) {
    auto it = impl_->exchanges.find(id);
    if (it == impl_->exchanges.end()) return;
    std::unique_ptr<Exchange> x = std::move(it->second);
    impl_->exchanges.erase(it);
    curl_multi_remove_handle(impl_->multi, x->easy);
    curl_easy_cleanup(x->easy);
}

}  // namespace fenra::oidc
