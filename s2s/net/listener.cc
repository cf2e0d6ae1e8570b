#include "s2s/net/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fenra::s2s {
namespace {

Error bind_error(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return Error::PermissionDenied;
        case EADDRINUSE:
            return Error::AddressInUse;
        default:
            return Error::SystemResources;
    }
}

// ADDRESS with PORT as a socket address; length 0 when it is neither form.
socklen_t socket_address(std::string_view address, uint16_t port, sockaddr_storage& out) {
    std::memset(&out, 0, sizeof out);
    if (const auto ip = parse_ipv4(address)) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&out);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        std::memcpy(&sin->sin_addr, ip->data(), ip->size());
        return sizeof(sockaddr_in);
    }
    char text[INET6_ADDRSTRLEN];
    if (address.size() >= sizeof text) return 0;
    std::memcpy(text, address.data(), address.size());
    text[address.size()] = '\0';
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (std::strlen(text) != address.size() || inet_pton(AF_INET6, text, &sin6->sin6_addr) != 1)
        return 0;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
}

}  // namespace

std::optional<std::array<uint8_t, 4>> parse_ipv4(std::string_view s) {
    if (s == "0.0.0.0") return std::array<uint8_t, 4>{0, 0, 0, 0};
    if (s == "127.0.0.1") return std::array<uint8_t, 4>{127, 0, 0, 1};
    std::array<uint8_t, 4> out{};
    size_t pos = 0;
    for (size_t part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= s.size() || s[pos] != '.') return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(s[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        out[part] = static_cast<uint8_t>(value);
    }
    if (pos != s.size()) return std::nullopt;
    return out;
}

Result<int> open_s2s_listener(std::string_view address, uint16_t port) {
    sockaddr_storage sa;
    const socklen_t len = socket_address(address, port, sa);
    if (len == 0) return Error::InvalidAddress;
    const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return error_from_errno(errno);
    const int one = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sa.ss_family == AF_INET6) {
        // Dual stack for the unspecified address only, whatever the system's
        // default (net.ipv6.bindv6only, FreeBSD's net.inet6.ip6.v6only).
        const int v6only = address == "::" ? 0 : 1;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) {
            ::close(fd);
            return Error::SystemResources;
        }
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
        const Error e = bind_error(errno);
        ::close(fd);
        return e;
    }
    if (::listen(fd, kS2sBacklog) != 0) {
        ::close(fd);
        return Error::SystemResources;
    }
    return fd;
}

}  // namespace fenra::s2s
