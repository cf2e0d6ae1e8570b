// The timers of the event loop: a binary heap of deadlines (monotonic
// milliseconds) over a table of timer records whose ids stay valid until
// released. Ties fire in arming order.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/event_loop.h"

namespace fenra::detail {

class TimerHeap {
  public:
    static constexpr int64_t kNever = INT64_MAX;

    struct Due {
        LoopHandler* handler;
        TimerId id;
        int64_t expirations;
    };

    // A new, disarmed timer. 0 when the table cannot grow.
    TimerId create(LoopHandler& handler);
    // False for an unknown id.
    bool arm(TimerId id, int64_t deadline, uint64_t period);
    bool disarm(TimerId id);
    void release(TimerId id);

    int64_t earliest() const;
    // The arming count; timers armed from now on are not due in a pass begun now.
    uint64_t pass_mark() const { return arms_; }
    // Takes the earliest timer due at `now` armed before `mark`: a periodic one
    // is moved to its next deadline, a one-shot one is disarmed.
    bool pop_due(int64_t now, uint64_t mark, Due& out);

  private:
    struct Timer {
        LoopHandler* handler = nullptr;
        int64_t deadline = 0;
        uint64_t period = 0;
        uint64_t order = 0;  // arming count when armed
        uint32_t serial = 0;
        int32_t pos = -1;  // index in heap_, -1 when disarmed
    };

    Timer* find(TimerId id);
    bool before(uint32_t a, uint32_t b) const;
    void place(size_t pos, uint32_t index);
    void sift_up(size_t pos);
    void sift_down(size_t pos);
    void erase_at(size_t pos);

    std::vector<Timer> timers_;
    std::vector<uint32_t> heap_;  // indices into timers_
    std::vector<uint32_t> free_;
    uint64_t arms_ = 0;
};

}  // namespace fenra::detail
