#pragma once

namespace qemcli {

// The first SIGINT, SIGTERM or SIGHUP calls onSignal (which asks the program
// to stop cleanly); the handler is then reset, so a second one ends the
// program by the signal's own default action. A signal ignored when the
// program started (run in the background) stays ignored.
void stopOnFirstInterrupt(void (*onSignal)(int));

}  // namespace qemcli
