// localpg: a PostgreSQL server of one's own in a folder, for `make load`: the
// loader tests' server (ScratchServer), kept instead of thrown away.
//
//   localpg start FOLDER    start it (initdb first where FOLDER is new or empty),
//                           or find it running; prints its connection string
//   localpg stop FOLDER     stop it
//   localpg status FOLDER   whether it runs (status 0 running, 3 not running)
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "ScratchServer.h"

// The loader's test support, wherever its namespace lies.
namespace qemload {}
using namespace qemload;

namespace {

const char* const usage =
    "usage: localpg start|stop|status FOLDER\n"
    "  start   starts the PostgreSQL server kept in FOLDER, made there first (initdb) when FOLDER\n"
    "          is new or empty, or finds it running; prints its connection string (superuser qem,\n"
    "          database postgres). It listens on a Unix socket in FOLDER only, no TCP port; as\n"
    "          root it runs as the user 'nobody' (or the owner of an existing cluster).\n"
    "  stop    stops it (open sessions are ended)\n"
    "  status  prints whether it runs; status 0 running, 3 not running\n"
    "Exit status: 0 done; 1 failed (the reason on standard error); 2 bad command line.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage, stdout);
        return 0;
    }
    const std::string command = argc == 3 ? argv[1] : "";
    if (command != "start" && command != "stop" && command != "status") {
        fprintf(stderr, "localpg: %s\n%s", argc == 3 ? ("unknown command '" + command + "'").c_str()
                                                      : "a command and a folder are needed", usage);
        return 2;
    }
    const std::string folder = argv[2];
    try {
        if (command == "start") {
            const scratch::ScratchServer server(scratch::KeptFolder{folder});
            fprintf(stderr, "localpg: %s the server in %s (its log: %s/server.log)\n",
                    server.reused() ? "reusing" : "started", server.folder().c_str(), server.folder().c_str());
            printf("%s\n", server.conninfo().c_str());
            return 0;
        }
        if (command == "stop") {
            const bool stopped = scratch::ScratchServer::stopKept(folder);
            fprintf(stderr, "localpg: %s %s\n", stopped ? "stopped the server in" : "no server was running in",
                    std::filesystem::absolute(folder).lexically_normal().c_str());
            return 0;
        }
        const bool running = scratch::ScratchServer::keptRunning(folder);
        printf("%s\n", running ? "running" : "not running");
        return running ? 0 : 3;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "localpg: %s\n", e.what());
        return 1;
    }
}
