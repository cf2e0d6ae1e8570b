#include "s2s/net/happy_eyeballs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

#include "runtime/log.h"
#include "s2s/net/target_lookup.h"

namespace fenra::s2s {
namespace {

constexpr std::string_view kScope = "fenra-s2s";

// IPv6 first, then the families alternating, each in its given order.
std::vector<DnsAddress> interleaved(std::span<const DnsAddress> addresses) {
    std::vector<DnsAddress> v6, v4, out;
    for (const DnsAddress& a : addresses)
        (a.family() == AF_INET6 ? v6 : v4).push_back(a);
    for (size_t i = 0; i < v6.size() || i < v4.size(); ++i) {
        if (i < v6.size()) out.push_back(v6[i]);
        if (i < v4.size()) out.push_back(v4[i]);
    }
    return out;
}

}  // namespace

std::string_view connect_failure_name(ConnectFailure f) {
    switch (f) {
        case ConnectFailure::none:
            return "none";
        case ConnectFailure::socket:
            return "socket";
        case ConnectFailure::refused:
            return "refused";
        case ConnectFailure::timed_out:
            break;
    }
    return "timed-out";
}

Result<void> HappyEyeballs::start(std::span<const DnsAddress> addresses, uint64_t timeout_ms,
                                  Done done) {
    cancel();
    if (addresses.empty()) return Error::InvalidArgs;
    try {
        order_ = interleaved(addresses);
        attempts_.reserve(order_.size());
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
    next_ = 0;
    last_failure_ = ConnectFailure::refused;
    // The first attempt starts from the loop, so that a failure at once is
    // reported like any other.
    auto stagger = loop_.add_timer(*this, 0);
    if (!stagger) return stagger.error();
    stagger_ = *stagger;
    auto deadline = loop_.add_timer(*this, timeout_ms);
    if (!deadline) {
        cancel();
        return deadline.error();
    }
    deadline_ = *deadline;
    done_ = std::move(done);
    return {};
}

void HappyEyeballs::cancel() {
    while (!attempts_.empty())
        close_attempt(attempts_.size() - 1);
    if (stagger_ != 0) loop_.remove_timer(stagger_);
    if (deadline_ != 0) loop_.remove_timer(deadline_);
    stagger_ = deadline_ = 0;
    order_.clear();
    next_ = 0;
    done_ = nullptr;
}

void HappyEyeballs::close_attempt(size_t i) {
    loop_.remove(attempts_[i].fd);
    ::close(attempts_[i].fd);
    attempts_[i] = attempts_.back();
    attempts_.pop_back();
}

bool HappyEyeballs::start_next() {
    if (next_ >= order_.size()) return false;
    const DnsAddress& a = order_[next_++];
    log::info(kScope, {"connecting to ", address_text(a)});
    const int fd = ::socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log::info(kScope, {"connect to ", address_text(a), " failed: errno ", errno});
        last_failure_ = ConnectFailure::socket;
        return true;
    }
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len);
    } while (r != 0 && errno == EINTR);
    // Finished or not, completion shows as write readiness.
    const int err = r == 0 ? 0 : errno;
    if ((err != 0 && err != EINPROGRESS && err != EAGAIN) || !loop_.add(fd, *this, false) ||
        !loop_.add_write_once(fd)) {
        log::info(kScope, {"connect to ", address_text(a), " failed: errno ", err});
        loop_.remove(fd);
        ::close(fd);
        last_failure_ = ConnectFailure::refused;
        return true;
    }
    attempts_.push_back({fd, a});  // reserved for every address in start()
    return true;
}

bool HappyEyeballs::advance() {
    (void)start_next();
    while (attempts_.empty())
        if (!start_next()) return false;
    if (next_ < order_.size()) (void)loop_.arm_timer(stagger_, kConnectionAttemptDelayMs);
    return true;
}

void HappyEyeballs::finish(ConnectOutcome&& outcome) {
    Done done = std::move(done_);
    cancel();
    done(std::move(outcome));
}

void HappyEyeballs::on_event(const LoopEvent& ev) {
    if (ev.kind == EventKind::timer) {
        if (ev.timer == deadline_) {
            log::info(kScope, {"connect timed out after trying ", next_, " of ", order_.size(),
                               " addresses"});
            finish({-1, {}, ConnectFailure::timed_out});
            return;
        }
        // The attempt delay passed: the next address.
        if (!advance()) finish({-1, {}, last_failure_});
        return;
    }
    size_t i = 0;
    while (i < attempts_.size() && attempts_[i].fd != ev.fd)
        ++i;
    if (i == attempts_.size()) return;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(ev.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0 && ev.kind == EventKind::error) err = static_cast<int>(ev.data);
    if (err == 0) {
        const Attempt won = attempts_[i];
        loop_.remove(won.fd);
        attempts_[i] = attempts_.back();
        attempts_.pop_back();
        log::info(kScope, {"connected to ", address_text(won.address)});
        finish({won.fd, won.address, ConnectFailure::none});
        return;
    }
    log::info(kScope, {"connect to ", address_text(attempts_[i].address), " failed: errno ", err});
    close_attempt(i);
    last_failure_ = ConnectFailure::refused;
    // A failure starts the next address at once, and the delay anew.
    if (!advance()) finish({-1, {}, last_failure_});
}

}  // namespace fenra::s2s
