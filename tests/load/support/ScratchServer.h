#pragma once
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
// (read from its first phase's manifest).
void makePartSet(const std::string& folder, const std::string& from, const std::string& density, int parts);

// A PostgreSQL server of its own: initdb into a temporary folder, listening on
// a Unix socket in that folder and on no TCP port, run by an unprivileged user
// when this process runs as root (initdb refuses root). The destructor stops
// it and removes the folder. Throws std::runtime_error with the reason when
// the server cannot be started.
class ScratchServer {
public:
    // settings: extra "name=value" server settings.
    explicit ScratchServer(const std::vector<std::string>& settings = {});
    ~ScratchServer();
    ScratchServer(const ScratchServer&) = delete;
    ScratchServer& operator=(const ScratchServer&) = delete;

    // Connection string for the server's superuser and the database.
    std::string conninfo(const std::string& database = "postgres") const;
    const std::string& folder() const { return temp.path(); }
    // A folder the server can read files from (for COPY FROM a file).
    std::string readableFolder() const;

private:
    Outcome runAsServerUser(const std::vector<std::string>& argv) const;

    TempFolder temp;
    std::string bin;
    bool started = false;
    unsigned uid = 0, gid = 0;
    bool switchUser = false;
};

}  // namespace qemload::scratch
