// What both event-loop backends share.
#include <cerrno>

#include "runtime/event_loop.h"

namespace fenra::detail {

Error wait_error(int err) {
    switch (err) {
        case ENOMEM:
        case EACCES:
        case EFAULT:
        case EINVAL:
            return Error::SystemResources;
        case ENOENT:
        case EBADF:
            return Error::EventNotFound;
        case ESRCH:
            return Error::ProcessNotFound;
        default:
            return Error::Unexpected;
    }
}

}  // namespace fenra::detail
