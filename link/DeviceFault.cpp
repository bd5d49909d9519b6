#include "link/DeviceFault.h"

#include <cerrno>

namespace vendrill {

DeviceFault FaultOf(int err)
{
    switch (err) {
    case 0: return DeviceFault::None;
    // An adapter pulled while it opens answers with an input/output error.
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: return DeviceFault::Gone;
    case EBUSY:
    case EWOULDBLOCK: return DeviceFault::Busy;
    case EACCES:
    case EPERM: return DeviceFault::Permission;
    default: return DeviceFault::Other;
    }
}

}  // namespace vendrill
