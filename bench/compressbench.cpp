// Compressed parts against plain ones, as whole processes held to one core:
// qempart writing phases 1 and 2 as one part each (a) plain, (b) with
// --compress zstd at a level, (c) plain and then the zstd command line on
// each part file at the same level (the text on disk first, then packed).
// Median of several runs: wall and CPU seconds, MB/s of uncompressed text
// per core, CPU seconds per GB of text, and the size ratio.
//
//   compressbench [--folder DIR] [--channels N] [--density PERCENT] [--level L | --levels L,L,...]
//                 [--phases 1,2] [--runs N] [--qempart PATH]
//
// Defaults: /tmp, 10 channels, 1 %, level 1, phases 1 and 2, 3 runs, the
// qempart beside this program; --levels measures each level in turn. The
// folder gets a scratch folder of its own, removed at the end.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double wall = 0, cpu = 0;
};

// Runs the command in folder, held to the first core; wall and CPU seconds.
Run runOnOneCore(const std::vector<std::string>& command, const fs::path& folder) {
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        std::vector<char*> argv;
        for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(folder.c_str()) != 0 || sched_setaffinity(0, sizeof one, &one) != 0) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "compressbench: %s failed\n", command[0].c_str());
        exit(1);
    }
    Run r;
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return r;
}

uint64_t bytesEndingIn(const fs::path& folder, const std::string& ending) {
    uint64_t bytes = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
            bytes += e.file_size();
    }
    return bytes;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = "/tmp", channels = "10", density = "1", qempart = (fs::path(argv[0]).parent_path() / "qempart").string();
    std::vector<int> levels = {1};
    std::vector<std::string> phases = {"1", "2"};
    int runs = 3;
    // "1,3,6" -> its items.
    const auto list = [](const std::string& text) {
        std::vector<std::string> items;
        for (size_t start = 0; start <= text.size();) {
            const size_t comma = std::min(text.find(',', start), text.size());
            items.push_back(text.substr(start, comma - start));
            start = comma + 1;
        }
        return items;
    };
    bool usage = argc % 2 == 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--folder") folder = value;
        else if (name == "--channels") channels = value;
        else if (name == "--density") density = value;
        else if (name == "--level" || name == "--levels") {
            levels.clear();
            for (const std::string& item : list(value)) levels.push_back(std::atoi(item.c_str()));
        } else if (name == "--phases") phases = list(value);
        else if (name == "--runs") runs = std::atoi(value.c_str());
        else if (name == "--qempart") qempart = value;
        else usage = true;
    }
    for (const int level : levels) usage = usage || level < 1 || level > 19;
    for (const std::string& phase : phases) usage = usage || (phase != "1" && phase != "2" && phase != "3");
    if (usage || runs < 1) {
        fprintf(stderr, "usage: compressbench [--folder DIR] [--channels N] [--density PERCENT] [--level L | --levels L,L,...]\n"
                        "                     [--phases 1,2] [--runs N] [--qempart PATH]\n");
        return 2;
    }
    qempart = fs::absolute(qempart).string();
    const fs::path scratch = fs::path(folder) / ("compressbench." + std::to_string(getpid()));
    std::string phaseNames;
    for (const std::string& phase : phases) phaseNames += (phaseNames.empty() ? "" : phase == phases.back() ? " and " : ", ") + phase;
    for (const int level : levels) {
        const std::string levelText = std::to_string(level);
        struct Variant {
            explicit Variant(const char* n) : name(n) {}
            const char* name;
            std::vector<double> wall, cpu;
            uint64_t text = 0, stored = 0;
        } variants[] = {Variant("qempart, plain"), Variant("qempart --compress zstd"), Variant("qempart, then zstd command")};
        for (int r = 0; r < runs; ++r) {
            for (int v = 0; v < 3; ++v) {
                fs::remove_all(scratch);
                fs::create_directories(scratch);
                variants[v].text = 0;
                Run total;
                for (const std::string& phase : phases) {
                    std::vector<std::string> command = {qempart,    "--channels", channels, "--density", density, "--users",
                                                        "10",       "--seed",     "1",      "--phase",   phase,   "--parts",
                                                        "1",        "--part",     "1"};
                    if (v == 1) command.insert(command.end(), {"--compress", "zstd:" + levelText});
                    const Run part = runOnOneCore(command, scratch);
                    total.wall += part.wall;
                    total.cpu += part.cpu;
                }
                Variant& out = variants[v];
                // The text: the plain parts' bytes (the same answers in every variant).
                if (v == 0)
                    for (const auto& e : fs::directory_iterator(scratch))
                        if (e.path().filename().string().find(".qem.part") != std::string::npos) out.text += e.file_size();
                if (v == 0) out.stored = out.text;
                if (v == 1) out.stored = bytesEndingIn(scratch, ".zst");
                if (v == 2) {
                    std::vector<std::string> command = {"zstd", "-q", "-T1", "--rm", "-" + levelText};
                    for (const auto& e : fs::directory_iterator(scratch))
                        if (e.path().filename().string().find(".qem.part") != std::string::npos) command.push_back(e.path().filename().string());
                    const Run pack = runOnOneCore(command, scratch);
                    total.wall += pack.wall;
                    total.cpu += pack.cpu;
                    out.stored = bytesEndingIn(scratch, ".zst");
                }
                out.wall.push_back(total.wall);
                out.cpu.push_back(total.cpu);
            }
        }
        fs::remove_all(scratch);
        printf("%s %s as one part%s, %s channels at %s %%, zstd level %d, one core, median of %d run%s\n",
               phases.size() == 1 ? "phase" : "phases", phaseNames.c_str(), phases.size() == 1 ? "" : " each",
               channels.c_str(), density.c_str(), level, runs, runs == 1 ? "" : "s");
        printf("%-28s %9s %9s %12s %10s %12s %8s\n", "", "wall s", "CPU s", "MB/s (text)", "CPU s/GB", "stored MB", "ratio");
        const uint64_t text = variants[0].text;
        for (const Variant& v : variants) {
            const double wall = median(v.wall), cpu = median(v.cpu), gb = static_cast<double>(text) / 1e9;
            printf("%-28s %9.2f %9.2f %12.1f %10.2f %12.1f %8.2f\n", v.name, wall, cpu, gb * 1000 / wall, cpu / gb,
                   static_cast<double>(v.stored) / 1e6, static_cast<double>(text) / static_cast<double>(v.stored));
        }
        fflush(stdout);
    }
    return 0;
}
