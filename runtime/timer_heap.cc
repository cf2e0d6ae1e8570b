#include "runtime/timer_heap.h"

#include <new>

namespace fenra::detail {
namespace {

TimerId make_id(uint32_t index, uint32_t serial) {
    return static_cast<TimerId>(serial) << 32 | index;
}

}  // namespace

TimerHeap::Timer* TimerHeap::find(TimerId id) {
    const uint32_t index = static_cast<uint32_t>(id);
    if (index >= timers_.size()) return nullptr;
    Timer& t = timers_[index];
    if (t.handler == nullptr || t.serial != static_cast<uint32_t>(id >> 32)) return nullptr;
    return &t;
}

TimerId TimerHeap::create(LoopHandler& handler) {
    uint32_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        if (timers_.size() >= UINT32_MAX) return 0;
        index = static_cast<uint32_t>(timers_.size());
        timers_.emplace_back();
        heap_.reserve(timers_.capacity());
        free_.reserve(timers_.capacity());
    }
    Timer& t = timers_[index];
    t.handler = &handler;
    if (++t.serial == 0) t.serial = 1;  // the id is never 0
    t.pos = -1;
    return make_id(index, t.serial);
}

bool TimerHeap::before(uint32_t a, uint32_t b) const {
    const Timer& x = timers_[a];
    const Timer& y = timers_[b];
    return x.deadline != y.deadline ? x.deadline < y.deadline : x.order < y.order;
}

void TimerHeap::place(size_t pos, uint32_t index) {
    heap_[pos] = index;
    timers_[index].pos = static_cast<int32_t>(pos);
}

void TimerHeap::sift_up(size_t pos) {
    const uint32_t index = heap_[pos];
    while (pos > 0) {
        const size_t parent = (pos - 1) / 2;
        if (!before(index, heap_[parent])) break;
        place(pos, heap_[parent]);
        pos = parent;
    }
    place(pos, index);
}

void TimerHeap::sift_down(size_t pos) {
    const uint32_t index = heap_[pos];
    const size_t n = heap_.size();
    for (;;) {
        size_t child = 2 * pos + 1;
        if (child >= n) break;
        if (child + 1 < n && before(heap_[child + 1], heap_[child])) ++child;
        if (!before(heap_[child], index)) break;
        place(pos, heap_[child]);
        pos = child;
    }
    place(pos, index);
}

void TimerHeap::erase_at(size_t pos) {
    timers_[heap_[pos]].pos = -1;
    const uint32_t last = heap_.back();
    heap_.pop_back();
    if (pos == heap_.size()) return;
    place(pos, last);
    sift_down(pos);
    sift_up(static_cast<size_t>(timers_[last].pos));
}

bool TimerHeap::arm(TimerId id, int64_t deadline, uint64_t period) {
    Timer* t = find(id);
    if (t == nullptr) return false;
    t->deadline = deadline;
    t->period = period;
    t->order = arms_++;
    if (t->pos < 0) {
        const uint32_t index = static_cast<uint32_t>(id);
        heap_.push_back(index);  // capacity reserved in create: never allocates
        t->pos = static_cast<int32_t>(heap_.size() - 1);
        sift_up(heap_.size() - 1);
    } else {
        const size_t pos = static_cast<size_t>(t->pos);
        sift_down(pos);
        sift_up(static_cast<size_t>(t->pos));
    }
    return true;
}

bool TimerHeap::disarm(TimerId id) {
    Timer* t = find(id);
    if (t == nullptr) return false;
    if (t->pos >= 0) erase_at(static_cast<size_t>(t->pos));
    return true;
}

void TimerHeap::release(TimerId id) {
    if (!disarm(id)) return;
    const uint32_t index = static_cast<uint32_t>(id);
    timers_[index].handler = nullptr;
    free_.push_back(index);  // capacity reserved in create
}

int64_t TimerHeap::earliest() const {
    return heap_.empty() ? kNever : timers_[heap_[0]].deadline;
}

bool TimerHeap::pop_due(int64_t now, uint64_t mark, Due& out) {
    if (heap_.empty()) return false;
    const uint32_t index = heap_[0];
    Timer& t = timers_[index];
    if (t.deadline > now || t.order >= mark) return false;
    out.handler = t.handler;
    out.id = make_id(index, t.serial);
    out.expirations = 1;
    if (t.period == 0) {
        erase_at(0);
        return true;
    }
    const int64_t period = static_cast<int64_t>(t.period);
    const int64_t missed = (now - t.deadline) / period;
    out.expirations += missed;
    t.deadline += (missed + 1) * period;
    sift_down(0);
    return true;
}

}  // namespace fenra::detail
