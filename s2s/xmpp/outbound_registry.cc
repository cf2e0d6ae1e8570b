#include "s2s/xmpp/outbound_registry.h"

#include <new>
#include <utility>

#include "s2s/xmpp/outbound_session.h"

namespace fenra::s2s {

OutboundRegistry::~OutboundRegistry() {
    release_slots();
    by_domain_.clear();
    closing_.clear();
}

Result<OutboundSession*> OutboundRegistry::get(std::string_view domain,
                                               std::string_view local_domain) {
    auto it = by_domain_.find(domain);
    if (it != by_domain_.end() && it->second->state != ConnState::failed) return it->second.get();
    try {
        auto s = std::make_unique<OutboundSession>();
        if (!s->stream.wq.resize(write_queue_)) return Error::OutOfMemory;
        s->local_domain.assign(local_domain);
        s->remote_domain.assign(domain);
        s->serial = ++serial_;
        OutboundSession* out = s.get();
        if (it != by_domain_.end()) {
            // A failed session never holds a slot; its queue was reported.
            it->second = std::move(s);
        } else {
            by_domain_.emplace(std::string(domain), std::move(s));
        }
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

OutboundSession* OutboundRegistry::find(std::string_view domain) {
    auto it = by_domain_.find(domain);
    return it == by_domain_.end() ? nullptr : it->second.get();
}

int OutboundRegistry::take_slot(OutboundSession& s) {
    for (int i = 0; i < kSlots; ++i) {
        const int slot = (cursor_ + i) % kSlots;
        if (slots_[static_cast<size_t>(slot)]) continue;
        slots_[static_cast<size_t>(slot)] = &s;
        ++used_;
        cursor_ = (slot + 1) % kSlots;
        s.slot = slot;
        return slot;
    }
    return -1;
}

void OutboundRegistry::release_slot(OutboundSession& s) {
    if (s.slot >= 0 && slots_[static_cast<size_t>(s.slot)] == &s) {
        slots_[static_cast<size_t>(s.slot)] = nullptr;
        --used_;
    }
    s.slot = -1;
}

void OutboundRegistry::erase(OutboundSession& s) {
    auto it = by_domain_.find(std::string_view(s.remote_domain));
    if (it != by_domain_.end() && it->second.get() == &s) {
        by_domain_.erase(it);
        return;
    }
    std::erase_if(closing_, [&s](const auto& p) { return p.get() == &s; });
}

bool OutboundRegistry::retire(OutboundSession& s) {
    auto it = by_domain_.find(std::string_view(s.remote_domain));
    if (it == by_domain_.end() || it->second.get() != &s) return false;
    try {
        closing_.reserve(closing_.size() + 1);
    } catch (const std::bad_alloc&) {
        return false;
    }
    closing_.push_back(std::move(it->second));
    by_domain_.erase(it);
    return true;
}

void OutboundRegistry::release_slots() {
    for (OutboundSession*& p : slots_) {
        if (p) {
            p->parser.reset();
            p->slot = -1;
        }
        p = nullptr;
    }
    used_ = 0;
}

void OutboundRegistry::cancel_dials() {
    for (auto& [domain, s] : by_domain_)
        if (s->dialer) s->dialer->cancel();
    for (auto& s : closing_)
        if (s->dialer) s->dialer->cancel();
}

}  // namespace fenra::s2s
