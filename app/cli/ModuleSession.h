#pragma once

// The command-line tool's side of a conversation with the printer's module:
// the blocking session (session/BlockingSession.h), whose every wait ends on
// this program's interrupting signal (Interrupt.h).

#include "app/cli/Interrupt.h"
#include "session/BlockingSession.h"

namespace vendrill::cli {

using vendrill::ModuleInfo;
using vendrill::Status;
using vendrill::StepResult;

class CModuleSession : public CBlockingSession {
public:
    CModuleSession() : CBlockingSession(InterruptFd(), InterruptSignal) {}
};

}  // namespace vendrill::cli
