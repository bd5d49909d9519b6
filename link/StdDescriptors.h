#pragma once

namespace vendrill {

// Which of the standard descriptors were found closed.
struct StdDescriptorsFound {
    bool closed[3] = {false, false, false};  // 0, 1, 2
    bool ok = true;                          // false when one could not be filled
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Call first
// thing in main, before anything else opens a descriptor: otherwise a file,
// socket or eventfd of the program could become "standard output", and
// whatever is written there would land in it.
StdDescriptorsFound GuardStandardDescriptors();

}  // namespace vendrill
