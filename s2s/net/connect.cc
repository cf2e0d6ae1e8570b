#include "s2s/net/connect.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "s2s/condition.h"
#include "s2s/net/listener.h"

namespace fenra::s2s {
namespace {

constexpr size_t kHostBufferSize = 256;

// The first IPv4 address of HOST: a dotted quad as it is, a name through the
// resolver. Nothing for a name of 256 bytes or more, or without IPv4 address.
std::optional<in_addr> host_address(std::string_view host) {
    if (auto quad = parse_ipv4(host)) {
        in_addr a;
        std::memcpy(&a, quad->data(), 4);
        return a;
    }
    if (host.size() >= kHostBufferSize) return std::nullopt;
    char name[kHostBufferSize];
    std::memcpy(name, host.data(), host.size());
    name[host.size()] = '\0';
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return std::nullopt;
    std::optional<in_addr> out;
    if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in))
        out = reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return out;
}

}  // namespace

ConnectAttempt start_connect(std::string_view host, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return {-1, condition::kSocketCreationFailed};
    const auto addr = host_address(host);
    if (!addr) {
        ::close(fd);
        return {-1, condition::kHostnameResolutionFailed};
    }
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = *addr;
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS && errno != EAGAIN) {
        ::close(fd);
        return {-1, condition::kTcpConnectFailed};
    }
    return {fd, {}};
}

}  // namespace fenra::s2s
