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

std::string scanOptions(const std::vector<std::string>& args, std::vector<std::string>& positional,
                        const std::function<std::string(const std::string& name, bool hasValue, const TakeValue&)>& option) {
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        bool missing = false;
        const TakeValue takeValue = [&](std::string& out) {
            if (eq != std::string::npos)
                out = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                out = args[++i];
            else
                missing = true;
            return !missing;
        };
        const std::string error = option(name, eq != std::string::npos, takeValue);
        if (missing) return name + " needs a value";
        if (!error.empty()) return error;
    }
    return "";
}

}  // namespace qemload
