#pragma once

// What an errno from opening or using a port or printer node comes to,
// sorted in one place for every message and every decision that needs it.

namespace vendrill {

enum class DeviceFault {
    None,        // no error
    Gone,        // not there (any more): unplugged, switched off, never plugged in
    Busy,        // another program holds it
    Permission,  // this user may not open it
    Other,
};

DeviceFault FaultOf(int err);

}  // namespace vendrill
