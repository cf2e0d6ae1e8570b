#include "s2s/xmpp/dialback.h"

#include "runtime/log.h"
#include "s2s/command_line.h"
#include "s2s/server.h"

namespace fenra::s2s {

void request_dialback_callback(S2sServer&, int inbound_slot, std::string_view,
                               std::string_view origin, std::string_view) {
    log::warn(kLogScope, {"dialback callback for inbound S2S id=", inbound_slot, " origin=", origin,
                          " not available"});
}

}  // namespace fenra::s2s
