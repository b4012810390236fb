#pragma once
#include <memory>
#include <string>
#include <vector>

// Support for the loader's tests and benchmark: child processes, data sets
// made by the generator, and a throwaway PostgreSQL server.
namespace qemload::scratch {

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Runs argv[0] (a path) with the arguments, input on its standard input, in
// folder cwd ("" = the current one); waits for it.
Outcome run(const std::vector<std::string>& argv, const std::string& input = "", const std::string& cwd = "");

// The bytes of a file ("" when it cannot be read).
std::string readBytes(const std::string& path);

// A fresh folder under /tmp, removed with everything in it by the destructor.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "qemload");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return folder; }

private:
    std::string folder;
};

// Writes a finished data set into folder: the generator's three phases with
// the answers channels, density (percent, as typed) and users.
void makeDataSet(const std::string& folder, int channels, const std::string& density, int users);

// Writes the same data set in `parts` parts into folder: qempart for every
// part of every phase, with the answers and seed of the data set in `from`
// (read from its first phase's manifest), and `compress` ("zstd", say) as
// its --compress when given.
void makePartSet(const std::string& folder, const std::string& from, const std::string& density, int parts,
                 const std::string& compress = "");

// Loads qemexport's CSV files in folder `exported` (with its schema.sql)
// into a new SQLite database at dbPath as docs/loading.md does it (empty
// fields as NULL), then lists the foreign keys that name no row on its
// standard output (empty when every key holds).
Outcome importIntoSqlite(const std::string& exported, const std::string& dbPath);

// The folder of a server that outlives the program that starts it (make load).
struct KeptFolder {
    std::string path;
};

// A PostgreSQL server of its own: initdb into a temporary folder, listening on
// a Unix socket in that folder and on no TCP port, run by an unprivileged user
// when this process runs as root (initdb refuses root). The destructor stops
// it and removes the folder. Throws std::runtime_error with the reason when
// the server cannot be started.
class ScratchServer {
public:
    // settings: extra "name=value" server settings.
    explicit ScratchServer(const std::vector<std::string>& settings = {});
    // The same kind of server kept in a folder of the caller's choosing, made
    // if missing: the cluster in its folder "data" (initdb'd unless it holds
    // one), the log "server.log" and the socket beside it. A server already
    // running there is reused (reused()); otherwise it is started. The
    // destructor leaves it running and the folder in place. An existing
    // folder must be empty or hold such a cluster. As root the server runs as
    // the owner of an existing cluster, else as 'nobody', which must be able
    // to reach the folder.
    explicit ScratchServer(const KeptFolder& kept);
    ~ScratchServer();
    ScratchServer(const ScratchServer&) = delete;
    ScratchServer& operator=(const ScratchServer&) = delete;

    // Stops the server kept in `folder` (fast: open sessions are ended).
    // Returns false when none was running there; throws std::runtime_error
    // when the folder holds no cluster made here or the stop fails.
    static bool stopKept(const std::string& folder);
    // Whether a server is running in the kept folder `folder` (throws as
    // stopKept does).
    static bool keptRunning(const std::string& folder);

    // Connection string for the server's superuser and the database.
    std::string conninfo(const std::string& database = "postgres") const;
    const std::string& folder() const { return dir; }
    // A folder the server can read files from (for COPY FROM a file).
    std::string readableFolder() const;
    // A kept server that was running already when this object was made.
    bool reused() const { return wasRunning; }

    // Who runs the server programs: this process, or (as root) another user.
    struct ServerUser {
        bool switchUser = false;
        unsigned uid = 0, gid = 0;
        std::string name;
    };

private:
    Outcome runAsServerUser(const std::vector<std::string>& argv) const;
    void initCluster(bool sync);
    void start(const std::vector<std::string>& settings);

    std::unique_ptr<TempFolder> temp;  // none for a kept folder
    std::string dir;
    std::string bin;
    bool started = false, kept = false, wasRunning = false;
    ServerUser user;
};

}  // namespace qemload::scratch
