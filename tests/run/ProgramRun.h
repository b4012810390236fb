#pragma once
// Runs the real program as a child process in a fresh folder, with the answers on its standard input, and
// collects its console output and exit status; the process-level tests share it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace qem;

namespace qemtest {

namespace fs = std::filesystem;

struct Outcome {
    std::string out, err;
    int status;  // the exit status, or -1 when the program did not exit (a signal ended it)
};

using StateFields = std::array<int32_t, 6>;
static_assert(std::endian::native == std::endian::little, "state bytes are built from host integers below");

inline const char* const stateName = "qem1r2genstate";
inline const std::string validAnswers = "10\n0.1\n10\n";

inline void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The state as its file holds it (six little-endian 32-bit integers), cut or padded with zeros to length.
inline std::string stateBytes(const StateFields& fields, size_t length = 24) {
    std::string bytes(std::max<size_t>(length, 24), '\0');
    memcpy(bytes.data(), fields.data(), 24);
    return bytes.substr(0, length);
}

inline StateFields stateOf(const std::string& bytes) {
    StateFields fields{};
    memcpy(fields.data(), bytes.data(), std::min<size_t>(bytes.size(), 24));
    return fields;
}

inline std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// What a child gets besides its input.
struct ChildSetup {
    // Writes beyond this many bytes fail with EFBIG (the signal that would end the program is ignored), as
    // on a full disk.
    rlim_t fileSizeLimit = RLIM_INFINITY;
    // Allocations beyond this much address space fail.
    rlim_t addressSpaceLimit = RLIM_INFINITY;
    // Run as the user nobody when the tests run as root.
    bool unprivileged = false;
    // Standard error goes to this descriptor (a terminal, say) instead of a file.
    int errorStream = -1;
    // The program and its arguments.
    std::string program = QEMGEN_PATH;
    std::vector<std::string> arguments{};
};

class ProgramRun : public ::testing::Test {
protected:
    struct Child {
        pid_t pid;
        fs::path out, err;
    };

    // The folders lie in memory (/dev/shm) where the system offers that, else under /tmp.
    void SetUp() override {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string work = std::string(base) + "/qemdriverXXXXXX", output = std::string(base) + "/qemcaptureXXXXXX";
            if (!mkdtemp(work.data())) continue;
            ASSERT_TRUE(mkdtemp(output.data()));
            dir = work;
            capture = output;
            return;
        }
        FAIL() << "no folder for the test";
    }
    void TearDown() override {
        fs::remove_all(dir);
        fs::remove_all(capture);
    }

    // Starts the program in workDir with input as its standard input; its output streams go to files
    // outside workDir.
    Child start(int input, const fs::path& workDir, const ChildSetup& setup = {}) {
        const std::string tag = std::to_string(++children);
        Child child{-1, capture / ("stdout" + tag), capture / ("stderr" + tag)};
        std::vector<char*> argv{const_cast<char*>(setup.program.c_str())};
        for (const std::string& a : setup.arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        child.pid = fork();
        if (child.pid == 0) {
            const int streams[] = {input, open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                                   setup.errorStream >= 0 ? setup.errorStream
                                                          : open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
            for (int fd = 0; fd < 3; ++fd)
                if (streams[fd] < 0 || dup2(streams[fd], fd) < 0) _exit(126);
            const rlimit files{setup.fileSizeLimit, setup.fileSizeLimit};
            const rlimit memory{setup.addressSpaceLimit, setup.addressSpaceLimit};
            if (chdir(workDir.c_str()) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR ||
                setrlimit(RLIMIT_FSIZE, &files) != 0 || setrlimit(RLIMIT_AS, &memory) != 0)
                _exit(126);
            const gid_t nobody = 65534;
            if (setup.unprivileged && geteuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
                _exit(126);
            execv(setup.program.c_str(), argv.data());
            _exit(127);
        }
        return child;
    }

    Outcome finish(const Child& child) {
        int status = -1;
        if (child.pid < 0 || waitpid(child.pid, &status, 0) != child.pid) return {"", "fork failed", -1};
        return {readFile(child.out), readFile(child.err), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    Outcome run(const std::string& input, const fs::path& workDir, const ChildSetup& setup = {}) {
        const fs::path in = capture / "stdin";
        writeFile(in, input);
        const int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
        const Child child = start(fd, workDir, setup);
        close(fd);
        return finish(child);
    }
    Outcome run(const std::string& input) { return run(input, dir); }

    // Runs the program (the setup's) with standard error on a terminal of 200 columns that passes bytes
    // unchanged; returns the outcome and everything the terminal received.
    std::pair<Outcome, std::string> runOnTerminal(const std::string& input, const ChildSetup& base = {},
                                                  const fs::path& workDir = {}) {
        int master = -1, slave = -1;
        winsize size{24, 200, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return {{"", "no terminal", -1}, ""};
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        const fs::path in = capture / "stdin";
        writeFile(in, input);
        const int fd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
        ChildSetup setup = base;
        setup.errorStream = slave;
        const Child child = start(fd, workDir.empty() ? dir : workDir, setup);
        close(fd);
        close(slave);
        // The terminal ends (EIO) once the program's end has closed its side.
        std::string terminal;
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            terminal.append(buffer, static_cast<size_t>(n));
        }
        close(master);
        return {finish(child), terminal};
    }

    fs::path dir, capture;
    int children = 0;
};

}  // namespace qemtest
