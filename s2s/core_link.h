// The link to the core: delivery requests in, inbound stanzas and delivery
// failures out, over the IPC slots of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "runtime/ipc_codec.h"
#include "runtime/result.h"
#include "s2s/condition.h"

namespace fenra::s2s {

class S2sServer;

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
// growable array with a head index: when full it first slides its live
// entries to the front, then grows to at least the needed count by adding
// half its capacity plus 2 at a time.
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

// A frame from the core on IPC slot SLOT: a DeliveryRequest is queued on the
// outbound session of its domain (or refused with a DeliveryFailed); any
// other type is warned about and ignored.
void on_core_message(S2sServer& server, int slot, const ipc::Message& m);

// A DeliveryRequest too long for the slot's read buffer: HEAD is as much of
// it as the buffer held. Answered with DeliveryFailed "policy-violation" when
// HEAD holds its from and to.
void on_core_oversized(S2sServer& server, int slot, std::span<const uint8_t> head, uint32_t length);

// Sends a DeliveryFailed to every connected core; when none takes it, it
// waits in the server's backlog.
void deliver_failed(S2sServer& server, std::string_view from, std::string_view to,
                    std::string_view condition);

// Hands the backlog of DeliveryFailed reports to the cores while they take
// them (a core has connected, or one has written out what it held).
void flush_failed_backlog(S2sServer& server);

// Sends an InboundStanza to one connected core, round-robin over the slots;
// false when no core is connected or none has room for the frame now.
bool forward_inbound(S2sServer& server, std::string_view from, std::string_view to,
                     std::string_view stanza);

}  // namespace fenra::s2s
