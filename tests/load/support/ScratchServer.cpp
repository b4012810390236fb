#include "ScratchServer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "integrity/Manifest.h"

namespace fs = std::filesystem;

namespace qemload::scratch {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Outcome runAs(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd, bool switchUser,
              unsigned uid, unsigned gid) {
    char pattern[] = "/tmp/qemload-run.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    const std::string dir = pattern;
    const std::string in = dir + "/in", out = dir + "/out", err = dir + "/err";
    std::ofstream(in, std::ios::binary) << input;
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int i = open(in.c_str(), O_RDONLY), o = open(out.c_str(), O_WRONLY | O_CREAT, 0666),
                  e = open(err.c_str(), O_WRONLY | O_CREAT, 0666);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (switchUser && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Outcome o;
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = readAll(out);
    o.err = readAll(err);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return o;
}

// The folder of the server programs: QEM_PG_BINDIR, else the newest
// /usr/lib/postgresql/N/bin, else the folder of initdb on PATH.
std::string serverBin() {
    if (const char* env = getenv("QEM_PG_BINDIR"); env && *env) return env;
    std::vector<std::pair<int, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it("/usr/lib/postgresql", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path bin = it->path() / "bin";
        if (fs::exists(bin / "initdb") && fs::exists(bin / "pg_ctl"))
            found.emplace_back(atoi(it->path().filename().c_str()), bin.string());
    }
    if (!found.empty()) return std::max_element(found.begin(), found.end())->second;
    if (const char* path = getenv("PATH")) {
        std::stringstream dirs(path);
        for (std::string d; std::getline(dirs, d, ':');)
            if (fs::exists(fs::path(d) / "initdb") && fs::exists(fs::path(d) / "pg_ctl")) return d;
    }
    throw std::runtime_error("PostgreSQL server programs (initdb, pg_ctl) not found: install the postgresql package"
                             " or set QEM_PG_BINDIR");
}

}  // namespace

Outcome run(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd) {
    return runAs(argv, input, cwd, false, 0, 0);
}

TempFolder::TempFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(folder, ec);
}

void makeDataSet(const std::string& folder, int channels, const std::string& density, int users) {
    const std::string answers = std::to_string(channels) + "\n" + density + "\n" + std::to_string(users) + "\n";
    for (int phase = 1; phase <= 3; ++phase) {
        const Outcome o = run({QEMGEN_PATH}, phase == 1 ? answers : "", folder);
        if (o.status != 0) throw std::runtime_error("qemgen phase " + std::to_string(phase) + " failed: " + o.err);
    }
}

void makePartSet(const std::string& folder, const std::string& from, const std::string& density, int parts) {
    std::string error;
    const auto manifest = qem::Manifest::parse(readAll(from + "/" + qem::manifestName(1)), error);
    if (!manifest) throw std::runtime_error(from + "/" + qem::manifestName(1) + ": " + error);
    for (int phase = 1; phase <= 3; ++phase)
        for (int part = 1; part <= parts; ++part) {
            const Outcome o = run({QEMPART_PATH, "--channels", std::to_string(manifest->channels), "--density", density,
                                   "--users", std::to_string(manifest->users), "--seed", std::to_string(manifest->seed),
                                   "--phase", std::to_string(phase), "--parts", std::to_string(parts), "--part",
                                   std::to_string(part), "--out", folder});
            if (o.status != 0)
                throw std::runtime_error("qempart phase " + std::to_string(phase) + " part " + std::to_string(part) +
                                         " failed: " + o.err);
        }
}

ScratchServer::ScratchServer(const std::vector<std::string>& settings) : temp("qemload-pg"), bin(serverBin()) {
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody) throw std::runtime_error("running as root, and there is no user 'nobody' to run the server");
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        switchUser = true;
        if (chown(folder().c_str(), uid, gid) != 0) throw std::runtime_error("cannot hand the server folder over");
    }
    const std::string data = folder() + "/data";
    Outcome o = runAsServerUser({bin + "/initdb", "-D", data, "-U", "qem", "--auth=trust", "-E", "UTF8",
                                 "--locale=C", "--no-sync"});
    if (o.status != 0) throw std::runtime_error("initdb failed: " + o.out + o.err);
    std::string options = "-c listen_addresses='' -c unix_socket_directories='" + folder() + "'";
    for (const auto& s : settings) options += " -c " + s;
    o = runAsServerUser({bin + "/pg_ctl", "-D", data, "-o", options, "-l", folder() + "/server.log", "-w", "-t", "60",
                         "start"});
    if (o.status != 0)
        throw std::runtime_error("the server did not start: " + o.out + o.err + readAll(folder() + "/server.log"));
    started = true;
}

ScratchServer::~ScratchServer() {
    if (started) runAsServerUser({bin + "/pg_ctl", "-D", folder() + "/data", "-m", "fast", "-w", "stop"});
}

std::string ScratchServer::conninfo(const std::string& database) const {
    return "host=" + folder() + " user=qem dbname=" + database;
}

std::string ScratchServer::readableFolder() const {
    const std::string dir = folder() + "/files";
    fs::create_directories(dir);
    if (switchUser && chown(dir.c_str(), uid, gid) != 0) throw std::runtime_error("cannot hand a folder over");
    return dir;
}

Outcome ScratchServer::runAsServerUser(const std::vector<std::string>& argv) const {
    return runAs(argv, "", "", switchUser, uid, gid);
}

}  // namespace qemload::scratch
