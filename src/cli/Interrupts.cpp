#include "cli/Interrupts.h"

#include <signal.h>

#include <initializer_list>

namespace qemcli {

void stopOnFirstInterrupt(void (*onSignal)(int)) {
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        sigaction(signal, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
    }
}

}  // namespace qemcli
