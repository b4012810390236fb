#include "ScratchServer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// The name of the server's socket in its folder (the default port's).
const char* const socketName = ".s.PGSQL.5432";

ScratchServer::ServerUser nobodyUser() {
    if (geteuid() != 0) return {};
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) throw std::runtime_error("running as root, and there is no user 'nobody' to run the server");
    return {true, nobody->pw_uid, nobody->pw_gid, "nobody"};
}

// As root: the owner of an existing cluster runs its programs.
ScratchServer::ServerUser clusterOwner(const std::string& data) {
    if (geteuid() != 0) return {};
    struct stat st {};
    if (stat(data.c_str(), &st) != 0)
        throw std::runtime_error("cannot read " + data + ": " + std::string(strerror(errno)));
    if (st.st_uid == 0) throw std::runtime_error(data + " belongs to root, and PostgreSQL refuses to run as root");
    const passwd* owner = getpwuid(st.st_uid);
    return {true, st.st_uid, owner ? owner->pw_gid : st.st_gid,
            owner ? owner->pw_name : "uid " + std::to_string(st.st_uid)};
}

// Whether `user` may enter, list and write the folder (tried as that user).
bool reachableBy(const ScratchServer::ServerUser& user, const std::string& folder) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) _exit(2);
        _exit(access(folder.c_str(), R_OK | W_OK | X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The absolute path of a kept server's folder. It goes into the server's
// command line and into connection strings unquoted, and the socket's path
// must fit the system's limit (108 bytes with its end).
std::string absoluteFolder(const std::string& folder) {
    if (folder.empty()) throw std::runtime_error("no server folder given");
    // A link (see the kept server's constructor) is followed to the folder it names.
    std::string path = fs::weakly_canonical(fs::absolute(folder)).string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (const char c : path)
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("/._-+@", c))
            throw std::runtime_error("the server folder " + path +
                                     " has characters other than letters, digits and / . _ - + @: choose another");
    if (path.size() + 1 + strlen(socketName) >= 108)
        throw std::runtime_error("the server folder " + path + " is too long for its socket's path (at most " +
                                 std::to_string(107 - 1 - strlen(socketName)) + " characters): choose a shorter one");
    return path;
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

void makePartSet(const std::string& folder, const std::string& from, const std::string& density, int parts,
                 const std::string& compress) {
    std::string error;
    const auto manifest = qem::Manifest::parse(readAll(from + "/" + qem::manifestName(1)), error);
    if (!manifest) throw std::runtime_error(from + "/" + qem::manifestName(1) + ": " + error);
    for (int phase = 1; phase <= 3; ++phase)
        for (int part = 1; part <= parts; ++part) {
            std::vector<std::string> args = {QEMPART_PATH, "--channels", std::to_string(manifest->channels),
                                             "--density", density, "--users", std::to_string(manifest->users),
                                             "--seed", std::to_string(manifest->seed), "--phase", std::to_string(phase),
                                             "--parts", std::to_string(parts), "--part", std::to_string(part),
                                             "--out", folder};
            if (!compress.empty()) args.insert(args.end(), {"--compress", compress});
            const Outcome o = run(args);
            if (o.status != 0)
                throw std::runtime_error("qempart phase " + std::to_string(phase) + " part " + std::to_string(part) +
                                         " failed: " + o.err);
        }
}

std::string readBytes(const std::string& path) { return readAll(path); }

Outcome importIntoSqlite(const std::string& exported, const std::string& dbPath) {
    const std::string script =
        "set -e\ncd '" + exported + "'\nDB='" + dbPath + "'\n" +
        "sqlite3 \"$DB\" < schema.sql\n"
        "for t in product customer channel time histsale histinv budget currsale currinv prodcos custship query; do\n"
        "  sqlite3 -bail \"$DB\" <<EOF\n"
        ".import --csv --schema temp $t.csv staging\n"
        "INSERT INTO $t SELECT $(head -n 1 $t.csv | sed 's/[^,]*/NULLIF(\"&\", '\"''\"')/g') FROM temp.staging;\n"
        "EOF\n"
        "done\n"
        "sqlite3 \"$DB\" 'PRAGMA foreign_key_check'\n";
    return run({"/bin/bash", "-c", script});
}

ScratchServer::ScratchServer(const std::vector<std::string>& settings)
    : temp(std::make_unique<TempFolder>("qemload-pg")), dir(temp->path()), bin(serverBin()), user(nobodyUser()) {
    if (user.switchUser && chown(dir.c_str(), user.uid, user.gid) != 0)
        throw std::runtime_error("cannot hand the server folder over");
    initCluster(false);
    start(settings);
}

ScratchServer::ScratchServer(const KeptFolder& keptFolder) : dir(absoluteFolder(keptFolder.path)), kept(true) {
    std::string data = dir + "/data";
    std::error_code ec;
    const bool existing = fs::exists(data + "/PG_VERSION", ec);
    bool made = false;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) throw std::runtime_error(dir + " is not a folder");
        if (!existing && !fs::is_empty(dir, ec))
            throw std::runtime_error(dir + " is neither empty nor the folder of a server made here (no data/PG_VERSION):"
                                           " give a new or empty folder");
    }
    bin = serverBin();
    user = existing ? clusterOwner(data) : geteuid() == 0 ? nobodyUser() : ServerUser{};
    if (!fs::exists(dir, ec)) {
        if (!fs::create_directories(dir, ec) || ec)
            throw std::runtime_error("cannot make the folder " + dir + ": " + ec.message());
        made = true;
    }
    // Only the server's user (and root) may reach its socket: its superuser
    // is trusted there without a password.
    if (!existing) {
        if (chmod(dir.c_str(), 0700) != 0 ||
            (user.switchUser && chown(dir.c_str(), user.uid, user.gid) != 0)) {
            const std::string reason = strerror(errno);
            if (made) fs::remove_all(dir, ec);
            throw std::runtime_error("cannot hand the folder " + dir + " over to the server's user: " + reason);
        }
    }
    if (user.switchUser && made && !reachableBy(user, dir)) {
        // As root, a new folder on a path closed to the server's user (a
        // clone in /root, say): the server's folder goes under /var/tmp,
        // and the folder asked for becomes a link to it, so that every later
        // start, stop and connection by that name finds it.
        fs::remove_all(dir, ec);
        const std::string linkName = dir;
        char place[64];
        snprintf(place, sizeof place, "/var/tmp/qem-pgdata-%016zx", std::hash<std::string>{}(linkName));
        dir = place;
        if (fs::exists(dir, ec)) {
            fs::remove_all(dir, ec);  // an earlier attempt's, whose link was removed
        }
        if (!fs::create_directories(dir, ec) || ec || chmod(dir.c_str(), 0700) != 0 ||
            chown(dir.c_str(), user.uid, user.gid) != 0) {
            fs::remove_all(dir, ec);
            throw std::runtime_error("cannot make the server's folder " + dir);
        }
        fs::create_directory_symlink(dir, linkName, ec);
        if (ec) {
            fs::remove_all(dir, ec);
            throw std::runtime_error("cannot link " + linkName + " to the server's folder " + dir + ": " + ec.message());
        }
        data = dir + "/data";
        fprintf(stderr, "localpg: %s is closed to the server's user '%s': the server's folder is %s, and %s links to it\n",
                linkName.c_str(), user.name.c_str(), dir.c_str(), linkName.c_str());
    }
    if (user.switchUser && !reachableBy(user, dir)) {
        if (made) fs::remove_all(dir, ec);
        throw std::runtime_error("the server runs as the user '" + user.name +
                                 "' (PostgreSQL refuses root), which cannot reach " + dir +
                                 ": a folder on its path is closed to other users. Choose a folder it can reach"
                                 " (make load PGFOLDER=/var/tmp/qem-pgdata)");
    }
    if (!existing) {
        try {
            initCluster(true);
            // The cluster's own settings, so that it keeps to its folder
            // however it is started.
            std::ofstream conf(data + "/postgresql.conf", std::ios::app);
            conf << "\n# A server of its own: a Unix socket in its folder, no TCP port.\n"
                 << "listen_addresses = ''\n"
                 << "unix_socket_directories = '" << dir << "'\n";
            if (!conf.flush()) throw std::runtime_error("cannot write " + data + "/postgresql.conf");
        } catch (...) {
            // Nothing of a failed start is left: the folder was empty or new.
            if (made) fs::remove_all(dir, ec);
            else fs::remove_all(data, ec);
            throw;
        }
    }
    if (keptRunning(dir)) {
        wasRunning = true;
        if (!fs::exists(dir + "/" + socketName, ec))
            throw std::runtime_error("a server runs on " + data + " but has no socket in " + dir +
                                     " (was it started another way?)");
        return;
    }
    start({});
}

ScratchServer::~ScratchServer() {
    if (started && !kept) runAsServerUser({bin + "/pg_ctl", "-D", dir + "/data", "-m", "fast", "-w", "stop"});
}

void ScratchServer::initCluster(bool sync) {
    std::vector<std::string> argv = {bin + "/initdb", "-D", dir + "/data", "-U", "qem", "--auth=trust",
                                     "-E", "UTF8", "--locale=C"};
    // A throwaway cluster need not survive a crash of the machine.
    if (!sync) argv.push_back("--no-sync");
    const Outcome o = runAsServerUser(argv);
    if (o.status != 0) throw std::runtime_error("initdb failed: " + o.out + o.err);
}

void ScratchServer::start(const std::vector<std::string>& settings) {
    std::string options = "-c listen_addresses='' -c unix_socket_directories='" + dir + "'";
    for (const auto& s : settings) options += " -c " + s;
    const Outcome o = runAsServerUser({bin + "/pg_ctl", "-D", dir + "/data", "-o", options, "-l",
                                       dir + "/server.log", "-w", "-t", "60", "start"});
    if (o.status != 0)
        throw std::runtime_error("the server did not start: " + o.out + o.err + readAll(dir + "/server.log"));
    started = true;
}

bool ScratchServer::keptRunning(const std::string& folder) {
    const std::string data = absoluteFolder(folder) + "/data";
    std::error_code ec;
    if (!fs::exists(data + "/PG_VERSION", ec))
        throw std::runtime_error(absoluteFolder(folder) + " holds no server made here (no data/PG_VERSION)");
    const ServerUser owner = clusterOwner(data);
    // pg_ctl status: 0 running, 3 not running.
    const Outcome o = runAs({serverBin() + "/pg_ctl", "-D", data, "status"}, "", "/", owner.switchUser, owner.uid,
                            owner.gid);
    if (o.status == 0) return true;
    if (o.status == 3) return false;
    throw std::runtime_error("cannot tell whether the server of " + data + " runs: " + o.out + o.err);
}

bool ScratchServer::stopKept(const std::string& folder) {
    if (!keptRunning(folder)) return false;
    const std::string data = absoluteFolder(folder) + "/data";
    const ServerUser owner = clusterOwner(data);
    const Outcome o = runAs({serverBin() + "/pg_ctl", "-D", data, "-m", "fast", "-w", "-t", "60", "stop"}, "", "/",
                            owner.switchUser, owner.uid, owner.gid);
    if (o.status != 0) throw std::runtime_error("the server of " + data + " did not stop: " + o.out + o.err);
    return true;
}

std::string ScratchServer::conninfo(const std::string& database) const {
    return "host=" + folder() + " user=qem dbname=" + database;
}

std::string ScratchServer::readableFolder() const {
    const std::string files = dir + "/files";
    fs::create_directories(files);
    if (user.switchUser && chown(files.c_str(), user.uid, user.gid) != 0)
        throw std::runtime_error("cannot hand a folder over");
    return files;
}

Outcome ScratchServer::runAsServerUser(const std::vector<std::string>& argv) const {
    // From "/": the server's user may not be allowed into this process's folder.
    return runAs(argv, "", "/", user.switchUser, user.uid, user.gid);
}

}  // namespace qemload::scratch
