#include "s2s/core_link.h"

#include <new>
#include <utility>

#include "runtime/log.h"
#include "s2s/command_line.h"

namespace fenra::s2s {

size_t DeliveryQueue::grown_capacity(size_t cap, size_t needed) {
    while (cap < needed)
        cap += cap / 2 + 2;
    return cap;
}

Result<void> DeliveryQueue::push(PendingDelivery& d) {
    if (size_ == cap_) {
        const size_t live = size_ - head_;
        if (head_ > 0 && head_ >= live) {
            // At least half the array is taken entries: slide the live ones
            // down. Each slide moves no more entries than were taken since
            // the last, so a deep queue that is read and refilled stays O(1)
            // per entry.
            for (size_t i = head_; i < size_; ++i)
                items_[i - head_] = std::move(items_[i]);
            for (size_t i = live; i < size_; ++i)
                items_[i] = PendingDelivery{};
        } else {
            const size_t cap = grown_capacity(cap_, cap_ + 1);
            auto* items = new (std::nothrow) PendingDelivery[cap];
            if (!items) return Error::OutOfMemory;
            for (size_t i = 0; i < live; ++i)
                items[i] = std::move(items_[head_ + i]);
            delete[] items_;
            items_ = items;
            cap_ = cap;
        }
        size_ = live;
        head_ = 0;
    }
    items_[size_++] = std::move(d);
    return {};
}

void DeliveryQueue::pop_front() {
    if (empty()) return;
    items_[head_++] = PendingDelivery{};
    if (head_ == size_) head_ = size_ = 0;
}

void DeliveryQueue::clear() {
    for (size_t i = head_; i < size_; ++i)
        items_[i] = PendingDelivery{};
    head_ = size_ = 0;
}

std::string_view delivery_domain(std::string_view to) {
    // The resource goes first, so that an "@" inside it cannot move the domain.
    const size_t slash = to.find('/');
    if (slash != std::string_view::npos) to = to.substr(0, slash);
    const size_t at = to.find('@');
    if (at != std::string_view::npos) to.remove_prefix(at + 1);
    return to;
}

namespace {

// Own copies of the request's texts; false when memory runs out.
bool copy_delivery(PendingDelivery& d, const ipc::Message& m) {
    try {
        d.from.assign(m.str[0]);
        d.to.assign(m.str[1]);
        d.stanza.assign(m.str[2]);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

void FailedBacklog::push(std::string_view from, std::string_view to, std::string_view condition) {
    if (items_.size() == kFailedBacklog) {
        log::error(kLogScope,
                   {"no core for delivery-failed, dropping the oldest: to=", items_.front().to});
        items_.pop_front();
    }
    try {
        items_.push_back({std::string(from), std::string(to), std::string(condition)});
    } catch (const std::bad_alloc&) {
        log::error(kLogScope, {"no memory for delivery-failed, dropping it: to=", to});
    }
}

namespace {

ipc::Options ipc_options(size_t max_stanza) {
    const size_t frame = max_stanza + kFrameRoom;
    return {
        .log_fd_on_connect = false,
        .daemon_scope = kLogScope,
        .write_after_each_message = false,
        .read_buffer = frame,
        .write_buffer = 2 * frame,
        .max_frame = frame,
        .skip_oversized = true,
    };
}

}  // namespace

CoreLink::CoreLink(size_t max_stanza, CoreLinkHandler& handler)
    : max_stanza_(max_stanza), handler_(handler), ipc_(ipc_options(max_stanza)) {}

Result<void> CoreLink::attach(EventLoop& loop) {
    loop_ = &loop;
    return ipc_.attach(loop, *this);
}

void CoreLink::on_ipc_message(int, const ipc::Message& m) {
    if (m.type != ipc::kDeliveryRequest) {
        log::warn(kLogScope, {"unexpected IPC message from core"});
        return;
    }
    const std::string_view from = m.str[0];
    const std::string_view to = m.str[1];
    const std::string_view domain = delivery_domain(to);
    if (m.str[2].size() > max_stanza_) {
        log::warn(kLogScope, {"delivery request over the stanza limit: to=", to});
        deliver_failed(from, to, condition::kPolicyViolation);
        return;
    }
    if (domain.empty() || from.size() > kAddressMax || to.size() > kAddressMax) {
        log::warn(kLogScope, {"delivery request with empty domain: to=", to});
        deliver_failed(from, to, condition::kInvalidJid);
        return;
    }
    PendingDelivery d;
    if (!copy_delivery(d, m)) {
        deliver_failed(from, to, condition::kInternalError);
        return;
    }
    handler_.core_delivery(domain, std::move(d));
}

void CoreLink::on_ipc_oversized(int slot, std::span<const uint8_t> head, uint32_t length) {
    const auto field = head.empty() || head[0] != ipc::kDeliveryRequest
                           ? std::nullopt
                           : ipc::delivery_addresses(head);
    if (!field) {
        log::error(kLogScope, {"IPC frame of ", length, " bytes from slot=", slot, " skipped"});
        return;
    }
    log::warn(kLogScope, {"delivery request over the stanza limit: to=", (*field)[1]});
    deliver_failed((*field)[0], (*field)[1], condition::kPolicyViolation);
}

void CoreLink::on_ipc_connected(int slot) {
    log::info(kLogScope, {"core connected via IPC slot=", slot});
    room();
}

void CoreLink::on_ipc_wrote(int) {
    room();
}

void CoreLink::room() {
    flush_failed_backlog();
    handler_.core_room();
}

void CoreLink::deliver_failed(std::string_view from, std::string_view to,
                              std::string_view condition) {
    const ipc::Message m = ipc::delivery(ipc::kDeliveryFailed, from, to, condition);
    bool taken = false;
    for (int slot = 0; slot < ipc::kSlots; ++slot) {
        if (!ipc_.active(slot)) continue;
        const auto sent = ipc_.send(slot, m);
        if (!sent) {
            if (sent.error() != Error::SendBufferFull)
                log::error(kLogScope, {"failed to queue delivery-failed to IPC client ", slot});
            continue;
        }
        taken = true;
        (void)ipc_.request_flush(slot, *loop_);
    }
    if (!taken) failed_backlog_.push(from, to, condition);
}

void CoreLink::flush_failed_backlog() {
    FailedBacklog& backlog = failed_backlog_;
    if (backlog.empty()) return;
    for (int slot = 0; slot < ipc::kSlots && !backlog.empty(); ++slot) {
        if (!ipc_.active(slot)) continue;
        while (!backlog.empty()) {
            const PendingDelivery& d = backlog.front();
            const auto sent =
                ipc_.send(slot, ipc::delivery(ipc::kDeliveryFailed, d.from, d.to, d.stanza));
            if (!sent && sent.error() == Error::SendBufferFull) break;
            if (!sent)
                log::error(kLogScope, {"failed to queue delivery-failed to IPC client ", slot});
            backlog.pop_front();
        }
        (void)ipc_.request_flush(slot, *loop_);
    }
}

bool CoreLink::forward_inbound(std::string_view from, std::string_view to,
                               std::string_view stanza) {
    const ipc::Message m = ipc::delivery(ipc::kInboundStanza, from, to, stanza);
    for (int tries = 0; tries < ipc::kSlots; ++tries) {
        const int slot = forward_cursor_;
        forward_cursor_ = (forward_cursor_ + 1) % ipc::kSlots;
        if (!ipc_.active(slot)) continue;
        if (!ipc_.send(slot, m)) continue;  // full: the next core, or the stanza waits
        (void)ipc_.request_flush(slot, *loop_);
        return true;
    }
    return false;
}

}  // namespace fenra::s2s
