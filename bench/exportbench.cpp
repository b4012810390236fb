// qemexport against cat of the same files, in the same run: a data set
// written by qemgen, then in turn (a) cat of its files into one file of the
// output folder, (b) qemexport --jobs 1 held to one core, (c) qemexport with
// a job per core; each as a whole process. Median of several runs: wall and
// processor seconds, MB/s of the data set's text per wall second and per
// processor second (per core), and the largest memory of qemexport.
//
//   exportbench [--folder DIR] [--channels N] [--density PERCENT] [--users U] [--runs N]
//               [--format csv|tsv] [--data DIR]
//
// Defaults: /tmp, 10 channels, 1 %, 10 users, 5 runs, csv, the qemgen and
// qemexport beside this program. --data measures an existing data set instead
// of writing one. The folder gets a scratch folder of its own, removed at the
// end.
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
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double wall = 0, cpu = 0;
    long maxRssKb = 0;
};

// Runs the command, held to the first core when `oneCore`, its output
// discarded; wall and processor seconds of it and its children, and the
// largest memory of any of them.
Run run(const std::vector<std::string>& command, bool oneCore) {
    fflush(stdout);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (oneCore) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(0, &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(126);
        }
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        std::vector<char*> argv;
        for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "exportbench: %s failed\n", command[0].c_str());
        exit(1);
    }
    Run r;
    r.wall = std::chrono::duration<double>(Clock::now() - start).count();
    r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.maxRssKb = usage.ru_maxrss;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void usage() {
    fprintf(stderr,
            "usage: exportbench [--folder DIR] [--channels N] [--density PERCENT] [--users U] [--runs N]\n"
            "                   [--format csv|tsv] [--data DIR]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = "/tmp", channels = "10", density = "1", users = "10", format = "csv", data;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) usage();
        const std::string v = argv[++i];
        if (a == "--folder")
            folder = v;
        else if (a == "--channels")
            channels = v;
        else if (a == "--density")
            density = v;
        else if (a == "--users")
            users = v;
        else if (a == "--runs")
            runs = std::max(1, atoi(v.c_str()));
        else if (a == "--format")
            format = v;
        else if (a == "--data")
            data = v;
        else
            usage();
    }
    const fs::path self = fs::canonical("/proc/self/exe").parent_path();
    const std::string qemgen = (self / "qemgen").string(), qemexport = (self / "qemexport").string();
    const fs::path scratch = fs::path(folder) / ("exportbench-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    struct Cleanup {
        fs::path path;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } cleanup{scratch};

    if (data.empty()) {
        data = (scratch / "data").string();
        fs::create_directories(data);
        fprintf(stderr, "exportbench: writing the data set (%s channels, %s %%, %s users) in %s\n", channels.c_str(),
                density.c_str(), users.c_str(), data.c_str());
        const std::string answers = (scratch / "answers").string();
        FILE* f = fopen(answers.c_str(), "w");
        fprintf(f, "%s\n%s\n%s\n", channels.c_str(), density.c_str(), users.c_str());
        fclose(f);
        const std::string in = "cd '" + data + "' && '" + qemgen + "' < '" + answers + "' && '" + qemgen +
                               "' < /dev/null && '" + qemgen + "' < /dev/null";
        run({"/bin/sh", "-c", in}, false);
    }
    std::vector<std::string> files;
    uint64_t bytes = 0;
    for (const auto& e : fs::directory_iterator(data)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".qem") == 0) {
            files.push_back(e.path().string());
            bytes += e.file_size();
        }
    }
    std::sort(files.begin(), files.end());
    const double mb = static_cast<double>(bytes) / 1e6;
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    printf("data set: %s, %zu files, %.1f MB of text; output in %s; %d runs, median\n", data.c_str(), files.size(), mb,
           folder.c_str(), runs);

    struct Case {
        std::string name;
        std::vector<double> wall, cpu;
        long rss = 0;
    };
    std::vector<Case> cases{{"cat", {}, {}, 0},
                            {"qemexport --jobs 1, one core", {}, {}, 0},
                            {"qemexport --jobs " + std::to_string(cores), {}, {}, 0}};
    const fs::path out = scratch / "out";
    for (int r = 0; r < runs; ++r) {
        std::string catLine = "cat";
        for (const std::string& f : files) catLine += " '" + f + "'";
        fs::create_directories(out);
        Run c = run({"/bin/sh", "-c", catLine + " > '" + (out / "cat.out").string() + "'"}, true);
        fs::remove_all(out);
        cases[0].wall.push_back(c.wall);
        cases[0].cpu.push_back(c.cpu);
        for (int k = 1; k <= 2; ++k) {
            const std::string jobs = k == 1 ? "1" : std::to_string(cores);
            Run e = run({qemexport, "--format", format, "--jobs", jobs, data, out.string()}, k == 1);
            fs::remove_all(out);
            cases[k].wall.push_back(e.wall);
            cases[k].cpu.push_back(e.cpu);
            cases[k].rss = std::max(cases[k].rss, e.maxRssKb);
        }
    }
    printf("%-32s %9s %9s %12s %14s %10s\n", "", "wall s", "CPU s", "MB/s (wall)", "MB/s per core", "memory MB");
    for (const Case& c : cases) {
        const double wall = median(c.wall), cpu = median(c.cpu);
        printf("%-32s %9.2f %9.2f %12.0f %14.0f", c.name.c_str(), wall, cpu, wall > 0 ? mb / wall : 0.0,
               cpu > 0 ? mb / cpu : 0.0);
        if (c.rss > 0)
            printf(" %10.0f\n", static_cast<double>(c.rss) / 1024);
        else
            printf(" %10s\n", "");
    }
    return 0;
}
