#pragma once

// Ctrl-C, a closed terminal or a polite kill must not cut a session off
// mid-exchange: the signal is only noted here, and the program's waits end on
// it so that the link is closed the normal way before the program exits.

namespace vendrill::cli {

// Routes SIGINT, SIGTERM and SIGHUP to the program instead of killing it. Call once at start.
bool InstallInterruptHandling();
// The first such signal that arrived, or 0.
int InterruptSignal();
// A descriptor that becomes readable (POLLIN) once a signal arrived, for poll() loops.
int InterruptFd();
// Waits ms unless such a signal comes first; false when it came.
bool PauseOrInterrupt(int ms);

}  // namespace vendrill::cli
