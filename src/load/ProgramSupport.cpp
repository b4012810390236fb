#include "load/ProgramSupport.h"

#include <signal.h>

namespace qemload {

bool parseCount(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 10) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    value = std::stol(text);
    return value >= low && value <= high;
}

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

}  // namespace qemload
