#include "s2s/core_link.h"

#include "runtime/ipc_server.h"
#include "runtime/log.h"
#include "s2s/server.h"

namespace fenra::s2s {

std::string_view delivery_domain(std::string_view to) {
    // The resource goes first, so that an "@" inside it cannot move the domain.
    const size_t slash = to.find('/');
    if (slash != std::string_view::npos) to = to.substr(0, slash);
    const size_t at = to.find('@');
    if (at != std::string_view::npos) to.remove_prefix(at + 1);
    return to;
}

void deliver_failed(S2sServer& server, std::string_view from, std::string_view to,
                    std::string_view condition) {
    ipc::Server& ipc = server.ipc();
    const ipc::Message m = ipc::delivery(ipc::kDeliveryFailed, from, to, condition);
    for (int slot = 0; slot < ipc::kSlots; ++slot) {
        if (!ipc.active(slot)) continue;
        if (!ipc.send(slot, m)) {
            log::error(kLogScope, {"failed to queue delivery-failed to IPC client ", slot});
            continue;
        }
        (void)ipc.request_flush(slot, server.loop());
    }
}

void forward_inbound(S2sServer& server, std::string_view from, std::string_view to,
                     std::string_view stanza) {
    ipc::Server& ipc = server.ipc();
    const ipc::Message m = ipc::delivery(ipc::kInboundStanza, from, to, stanza);
    int& cursor = server.forward_cursor();
    for (int tries = 0; tries < ipc::kSlots; ++tries) {
        const int slot = cursor;
        cursor = (cursor + 1) % ipc::kSlots;
        if (!ipc.active(slot)) continue;
        if (!ipc.send(slot, m)) {
            log::error(kLogScope, {"failed to queue inbound stanza to IPC client ", slot});
            continue;
        }
        (void)ipc.request_flush(slot, server.loop());
        return;
    }
}

}  // namespace fenra::s2s
