// The outbound sessions of the daemon: the 128 socket slots with their
// cursor, and the map by domain that owns the sessions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/result.h"
#include "s2s/net/write_queue.h"

namespace fenra::s2s {

struct OutboundSession;

// The outbound slot table and the map by domain.
class OutboundRegistry {
  public:
    static constexpr int kSlots = 128;

    // Each session's write queue holds WRITE_QUEUE bytes.
    explicit OutboundRegistry(size_t write_queue = kWriteQueueSize) : write_queue_(write_queue) {}
    OutboundRegistry(const OutboundRegistry&) = delete;
    OutboundRegistry& operator=(const OutboundRegistry&) = delete;
    ~OutboundRegistry();

    // The session of DOMAIN; a missing or failed one is replaced by a fresh
    // idle session. OutOfMemory when it cannot be made.
    Result<OutboundSession*> get(std::string_view domain, std::string_view local_domain);
    OutboundSession* find(std::string_view domain);

    OutboundSession* at(int slot) const {
        return slot >= 0 && slot < kSlots ? slots_[static_cast<size_t>(slot)] : nullptr;
    }
    // The first free slot from the cursor on, which then moves past it; -1
    // when every slot is taken.
    int take_slot(OutboundSession& s);
    bool has_free_slot() const { return used_ < kSlots; }
    void release_slot(OutboundSession& s);
    // Removes S from the map and frees it (its slot must be released).
    void erase(OutboundSession& s);
    // Takes S (in a slot) out of the map while its stream closes: the next
    // request for its domain gets a new session. erase() frees it. False
    // (S left as it was) when S is not in the map or memory is short.
    bool retire(OutboundSession& s);

    // Before the event loop goes: every dial's connects closed and lookups
    // dropped.
    void cancel_dials();
    // Shut-down: every slot's parser freed and the slot cleared (the
    // sessions themselves go with the registry, without any report).
    void release_slots();
    size_t size() const { return by_domain_.size(); }
    int cursor() const { return cursor_; }

  private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::array<OutboundSession*, kSlots> slots_{};
    size_t write_queue_;
    int cursor_ = 0;
    int used_ = 0;
    uint64_t serial_ = 0;
    std::unordered_map<std::string, std::unique_ptr<OutboundSession>, Hash, std::equal_to<>>
        by_domain_;
    std::vector<std::unique_ptr<OutboundSession>> closing_;  // retired, at most one per slot
};

}  // namespace fenra::s2s
