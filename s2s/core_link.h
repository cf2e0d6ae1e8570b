// The link to the core: delivery requests in, inbound stanzas and delivery
// failures out, over the IPC slots of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "runtime/event_loop.h"
#include "runtime/ipc_codec.h"
#include "runtime/ipc_server.h"
#include "runtime/result.h"
#include "s2s/condition.h"

namespace fenra::s2s {

// The longest address a frame from or to a core carries (a full JID).
inline constexpr size_t kAddressMax = 3071;
// The largest frame either way is the stanza limit plus this.
inline constexpr size_t kFrameRoom = ipc::kDeliveryFrameFields + 2 * kAddressMax;
// DeliveryFailed reports kept while no core can take them.
inline constexpr size_t kFailedBacklog = 1024;

// The domain of a recipient address: the resource is cut at the first "/",
// then the domain is what follows the first "@" of the rest (the whole rest
// without one). Empty when there is no domain.
std::string_view delivery_domain(std::string_view to);

// One delivery the core asked for, with its own copies of the texts.
struct PendingDelivery {
    std::string from;
    std::string to;
    std::string stanza;
    uint64_t queued_ms = 0;  // when it was queued (monotonic)
};

// The deliveries waiting on one outbound session, in arrival order. A
// growable array with a head index: when full it slides its live entries to
// the front if at least half of it is taken entries, else grows (adding half
// its capacity plus 2 at a time), keeping only the live entries.
class DeliveryQueue {
  public:
    DeliveryQueue() = default;
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;
    ~DeliveryQueue() { delete[] items_; }

    // OutOfMemory when the array cannot grow (D is then left untouched).
    Result<void> push(PendingDelivery& d);
    bool empty() const { return head_ == size_; }
    size_t size() const { return size_ - head_; }
    size_t capacity() const { return cap_; }
    PendingDelivery& front() { return items_[head_]; }
    const PendingDelivery& front() const { return items_[head_]; }
    // Drops the front entry.
    void pop_front();
    void clear();

    // The capacity after growing CAP until it holds NEEDED entries.
    static size_t grown_capacity(size_t cap, size_t needed);

  private:
    PendingDelivery* items_ = nullptr;
    size_t head_ = 0;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// DeliveryFailed reports that wait for a core, oldest first; beyond
// kFailedBacklog the oldest is dropped with an error line.
class FailedBacklog {
  public:
    void push(std::string_view from, std::string_view to, std::string_view condition);
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    const PendingDelivery& front() const { return items_.front(); }  // stanza: the condition
    void pop_front() { items_.pop_front(); }

  private:
    std::deque<PendingDelivery> items_;
};

// What the core link hands on to the daemon.
class CoreLinkHandler {
  public:
    virtual ~CoreLinkHandler() = default;
    // A DeliveryRequest that passed the link's checks, with its own copies of
    // the texts, for recipient DOMAIN (valid during the call only). The
    // handler queues it or reports it.
    virtual void core_delivery(std::string_view domain, PendingDelivery&& d) = 0;
    // A core has room again (it connected or wrote out what it held); the
    // waiting DeliveryFailed reports have gone first.
    virtual void core_room() = 0;
};

// The IPC server with the daemon's frames on it: delivery requests in,
// inbound stanzas round-robin over the connected cores, DeliveryFailed to
// every core (or into the backlog while none takes it).
class CoreLink final : public ipc::Dispatcher {
  public:
    // Slot buffers for MAX_STANZA: the read buffer takes a DeliveryRequest
    // with the longest stanza and addresses, the write buffer two of the
    // largest frames.
    CoreLink(size_t max_stanza, CoreLinkHandler& handler);
    CoreLink(const CoreLink&) = delete;
    CoreLink& operator=(const CoreLink&) = delete;

    // The IPC socket at PATH (the server's own errors).
    Result<void> start(std::string_view path) { return ipc_.start(path); }
    // From now on cores are accepted, read and written by LOOP.
    Result<void> attach(EventLoop& loop);
    // Shut-down: every core and the socket (path unlinked) closed.
    void stop() { ipc_.stop(); }
    // Whether a core socket exists (without one no core can ever connect).
    bool has_socket() const { return ipc_.listen_fd() >= 0; }
    const ipc::Server& ipc() const { return ipc_; }

    // Sends a DeliveryFailed to every connected core; when none takes it, it
    // waits in the backlog.
    void deliver_failed(std::string_view from, std::string_view to, std::string_view condition);
    // Hands the backlog of DeliveryFailed reports to the cores while they
    // take them.
    void flush_failed_backlog();
    // Sends an InboundStanza to one connected core, round-robin over the
    // slots; false when no core is connected or none has room for it now.
    bool forward_inbound(std::string_view from, std::string_view to, std::string_view stanza);
    FailedBacklog& failed_backlog() { return failed_backlog_; }

    // ipc::Dispatcher. A frame from a core: a DeliveryRequest over the stanza
    // limit is refused "policy-violation", one without a recipient domain
    // "invalid-jid", the rest go to the handler; any other type is warned
    // about and ignored.
    void on_ipc_message(int slot, const ipc::Message& m) override;
    // A DeliveryRequest too long for the slot's read buffer: HEAD is as much
    // of it as the buffer held. Answered with DeliveryFailed
    // "policy-violation" when HEAD holds its from and to.
    void on_ipc_oversized(int slot, std::span<const uint8_t> head, uint32_t length) override;
    void on_ipc_connected(int slot) override;
    void on_ipc_wrote(int slot) override;

  private:
    void room();

    const size_t max_stanza_;
    CoreLinkHandler& handler_;
    ipc::Server ipc_;
    EventLoop* loop_ = nullptr;
    int forward_cursor_ = 0;  // the slot the next inbound stanza is offered to first
    FailedBacklog failed_backlog_;
};

}  // namespace fenra::s2s
