#include "load/Arguments.h"

const char* const usageText =
    "usage: qemload [--schema NAME] [--replace] [--jobs N] CONNINFO [FOLDER]\n"
    "Loads the finished data set in FOLDER (default: the current folder) into schema NAME\n"
    "(default qem) of the PostgreSQL database that CONNINFO names (a connection string\n"
    "or URI; the PG* environment variables apply), with every key and check in place.\n"
    "  --schema NAME  schema to create\n"
    "  --replace      replace the schema if it exists (otherwise an existing one is refused)\n"
    "  --jobs N       connections loading in parallel (default 2)\n"
    "Exit status: 0 loaded; 1 refused or failed, nothing changed; 2 bad command line.\n";

namespace {

bool parseJobs(const std::string& text, int& jobs) {
    if (text.empty() || text.size() > 3) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    jobs = std::stoi(text);
    return jobs >= 1 && jobs <= 64;
}

}  // namespace

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments a;
    std::vector<std::string> positional;
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size() && a.error.empty(); ++i) {
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
        auto value = [&](std::string& out) {
            if (eq != std::string::npos)
                out = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                out = args[++i];
            else
                a.error = name + " needs a value";
        };
        if (name == "--help" || name == "-h") {
            a.help = true;
        } else if (name == "--replace" && eq == std::string::npos) {
            a.options.replace = true;
        } else if (name == "--schema") {
            value(a.options.schema);
        } else if (name == "--jobs") {
            std::string text;
            value(text);
            if (a.error.empty() && !parseJobs(text, a.options.jobs)) a.error = "--jobs needs a number from 1 to 64";
        } else {
            a.error = "unknown option " + name;
        }
    }
    if (a.help || !a.error.empty()) return a;
    if (positional.empty()) a.error = "CONNINFO is missing";
    if (positional.size() > 2) a.error = "too many arguments";
    if (!a.error.empty()) return a;
    a.options.conninfo = positional[0];
    if (positional.size() == 2) a.options.folder = positional[1];
    if (const std::string problem = schemaNameProblem(a.options.schema); !problem.empty())
        a.error = "schema name '" + a.options.schema + "' " + problem;
    return a;
}
