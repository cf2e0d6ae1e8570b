// The link to the core: delivery requests in, inbound stanzas and delivery
// failures out, over the IPC slots of the daemon.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/ipc_codec.h"
#include "runtime/result.h"
#include "s2s/condition.h"

namespace fenra::s2s {

class S2sServer;

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

// A frame from the core on IPC slot SLOT: a DeliveryRequest is queued on the
// outbound session of its domain (or refused with a DeliveryFailed); any
// other type is warned about and ignored.
void on_core_message(S2sServer& server, int slot, const ipc::Message& m);

// Sends a DeliveryFailed to every connected core.
void deliver_failed(S2sServer& server, std::string_view from, std::string_view to,
                    std::string_view condition);

// Sends an InboundStanza to one connected core, round-robin over the slots;
// dropped when no core takes it.
void forward_inbound(S2sServer& server, std::string_view from, std::string_view to,
                     std::string_view stanza);

}  // namespace fenra::s2s
