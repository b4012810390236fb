// Throughput of the first two phases, in two parts.
//
// 1. Each large file written through the library in this process: MB/s,
//    lines/s and CPU time, beside a plain write of the same number of bytes to
//    the same folder (1 MiB per call), measured right after it.
// 2. Phases 1 and 2 as whole processes: the real qemgen run as a child
//    process (the answers piped to phase 1), median of several runs: wall
//    time, CPU time (user + system of the child), CPU / wall, MB/s and peak
//    memory, beside the plain write of the same bytes into the same folder in
//    the same run, and the same again with the child held to one core, which
//    gives the speed-up from one core to two. A second program (an older
//    build) can be measured alongside, its runs interleaved with these in
//    alternating order (this one first in odd runs, the other in even ones),
//    with the medians of the paired ratios of their times.
// 3. qemverify on the data set of all three phases as qemgen writes it,
//    median of several runs: the check alone (reading every file from the
//    page cache: GB/s) and with --regenerate, beside qemgen's three runs that
//    write the same data set.
//
//   factbench [--folder DIR] [--channels N] [--density PERCENT] [--users N]
//             [--runs N] [--qemgen PATH] [--qemverify PATH] [--compare PATH]
//             [--skip-files]
//
// Defaults: /tmp, 10 channels, 1 %, 10 users, 5 runs, the qemgen and
// qemverify beside this program. bench/manifestbench.sh runs it against
// qemgen built from the commit before the manifests. The folder gets a scratch folder of its own, removed at the end.
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "context/Context.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "run/Dialogue.h"
#include "phase/FileCapacities.h"
#include "run/Phases.h"
#include "phase/WorkerBatch.h"

using namespace qem;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ownCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

std::string loadAverage() {
    FILE* f = fopen("/proc/loadavg", "r");
    char text[64] = "?";
    if (f) {
        if (!fgets(text, sizeof text, f)) text[0] = '\0';
        fclose(f);
    }
    std::string s = text;
    return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));  // the 1, 5 and 15 minute averages
}

uint64_t countLines(const std::string& name) {
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return 0;
    static char buffer[1 << 20];
    uint64_t lines = 0;
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        for (size_t i = 0; i < n; ++i) lines += buffer[i] == '\n';
    fclose(f);
    return lines;
}

// Seconds to write bytes to a new file in the current folder, 1 MiB a call,
// as dd bs=1M does; the file is removed afterwards (not timed).
double plainWrite(uint64_t bytes) {
    static const std::vector<char> block(1 << 20, 'x');
    const auto start = Clock::now();
    const int fd = open("plainwrite.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    for (uint64_t left = bytes; left > 0;) {
        const size_t chunk = left < block.size() ? static_cast<size_t>(left) : block.size();
        if (write(fd, block.data(), chunk) != static_cast<ssize_t>(chunk)) break;
        left -= chunk;
    }
    close(fd);
    const double elapsed = seconds(start);
    unlink("plainwrite.tmp");
    return elapsed;
}

// ---- Section 1: the large files one by one, in this process.

struct Totals {
    uint64_t bytes = 0, lines = 0;
    double wall = 0, cpu = 0, plain = 0;
};

void reportFile(const char* label, const Totals& t) {
    const double mb = static_cast<double>(t.bytes) / 1e6;
    printf("%-13s %8.1f MB %10llu lines %6.2f s %7.1f MB/s %10.0f lines/s  cpu %5.2f s (x%.2f) | plain write "
           "%5.2f s %7.1f MB/s | ratio %5.2f\n",
           label, mb, static_cast<unsigned long long>(t.lines), t.wall, mb / t.wall,
           static_cast<double>(t.lines) / t.wall, t.cpu, t.cpu / t.wall, t.plain, t.plain > 0 ? mb / t.plain : 0.0,
           t.plain > 0 ? t.wall / t.plain : 0.0);
    fflush(stdout);
}

void measureFile(const char* name, const std::function<void()>& produce, Totals& phase) {
    const double cpuBefore = ownCpuSeconds();
    const auto start = Clock::now();
    produce();
    Totals t;
    t.wall = seconds(start);
    t.cpu = ownCpuSeconds() - cpuBefore;
    t.bytes = fs::file_size(name);
    t.lines = countLines(name);
    t.plain = plainWrite(t.bytes);
    reportFile(name, t);
    phase.bytes += t.bytes, phase.lines += t.lines, phase.wall += t.wall, phase.cpu += t.cpu, phase.plain += t.plain;
}

// The work the writers add for the manifests, timed apart on the same
// files: the content sum (a hash of every line, as the writers take it right
// after formatting the line) and the CRC-32 of every block. The text is read
// into memory first, outside the timing.
void reportIntegrityCost(const char* label, const std::vector<std::string>& names, const Totals& phase) {
    double hashSeconds = 0, keyedSeconds = 0, crcSeconds = 0;
    for (const std::string& name : names) {
        std::string text = countLines(name) ? std::string(fs::file_size(name), '\0') : std::string();
        if (FILE* f = fopen(name.c_str(), "rb")) {
            if (fread(text.data(), 1, text.size(), f) != text.size()) text.clear();
            fclose(f);
        }
        text.append(16, '\0');  // the room after the last line that the writers' blocks have
        const size_t length = text.size() - 16;
        const BlankColumns blank = blankColumnsOf(name);
        double cpu = ownCpuSeconds();
        uint64_t sum = 0;
        // Every line of a file has the same length, and the writers know
        // where each line ends: no search for the line ends here either.
        const size_t line = text.find('\n') + 1;
        // The writers hash lines with blank columns through one kept copy.
        std::optional<BlankedLines> blanked;
        if (blank.any()) blanked.emplace(blank);
        for (size_t at = 0; line > 0 && at + line <= length; at += line)
            sum += blanked ? blanked->hashWithSlack(text.data() + at, line) : lineHashWithSlack(text.data() + at, line, blank);
        hashSeconds += ownCpuSeconds() - cpu;
        // The line hash of manifests of version 2, for comparison.
        cpu = ownCpuSeconds();
        for (size_t at = 0; line > 0 && at + line <= length; at += line)
            sum += lineHashWithSlack(text.data() + at, line, blank, LineHash::keyed);
        keyedSeconds += ownCpuSeconds() - cpu;
        cpu = ownCpuSeconds();
        Crc32 crc;
        constexpr size_t block = 1 << 20;  // about a writer's block
        for (size_t at = 0; at < length; at += block) crc.add(text.data() + at, std::min(block, length - at));
        crcSeconds += ownCpuSeconds() - cpu;
        if ((sum ^ crc.value()) == 1) printf(" ");  // keeps the work from being optimised away
    }
    printf("%-13s content sums %.3f s (the version-2 line hash: %.3f s), CRC-32 %.3f s of CPU: %.1f %% and %.1f %% of "
           "the phase's %.2f s CPU\n",
           label, hashSeconds, keyedSeconds, crcSeconds, 100 * hashSeconds / phase.cpu, 100 * crcSeconds / phase.cpu,
           phase.cpu);
}

std::vector<std::string> qemFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("."))
        if (entry.path().extension() == ".qem") names.push_back(entry.path().filename().string());
    return names;
}

void fileByFile(int channels, double percent) {
    context.state = GeneratorState{channels, 10, densityCodeOf(percent), 1, 12345, 1};
    const auto buildStart = Clock::now();
    initContext();
    printf("Files one by one, in this process (context built in %.2f s):\n", seconds(buildStart));
    Totals first;
    const double cpuBefore = ownCpuSeconds();
    const auto dimensionStart = Clock::now();
    writeDimensionFiles();
    first.wall += seconds(dimensionStart);
    first.cpu += ownCpuSeconds() - cpuBefore;
    for (const auto& entry : fs::directory_iterator(".")) {
        first.bytes += entry.file_size();
        first.lines += countLines(entry.path());
    }
    measureFile("histsale.qem", [] { runHistoricalSales(historicalCells()); }, first);
    const size_t salesStack = lastBatchStackUse();
    measureFile("histinv.qem", [] { runHistoricalInventory(); }, first);
    const size_t inventoryStack = lastBatchStackUse();
    measureFile("custship.qem", [] { writeFile<ShippingCostWriter>("custship.qem", capacity::costFiles); }, first);
    measureFile("prodcos.qem", [] { writeFile<ProductCostWriter>("prodcos.qem", capacity::costFiles); }, first);
    reportFile("phase 1", first);
    const std::vector<std::string> firstFiles = qemFiles();

    Totals second;
    measureFile("budget.qem", [] { runBudget(); }, second);
    const size_t budgetStack = lastBatchStackUse();
    measureFile("currsale.qem", [] { runCurrentSales(currentCells()); }, second);
    const size_t currentStack = lastBatchStackUse();
    measureFile("currinv.qem", [] { writeFile<CurrentInventoryWriter>("currinv.qem", capacity::currentInventory); },
                second);
    reportFile("phase 2", second);
    std::vector<std::string> secondFiles;
    for (const std::string& name : qemFiles())
        if (std::find(firstFiles.begin(), firstFiles.end(), name) == firstFiles.end()) secondFiles.push_back(name);
    reportIntegrityCost("phase 1", firstFiles, first);
    reportIntegrityCost("phase 2", secondFiles, second);
    printf("deepest worker stack use (bytes of %zu): histsale %zu, histinv %zu, budget %zu, currsale %zu\n\n",
           workerStackSize, salesStack, inventoryStack, budgetStack, currentStack);
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
}

// ---- Section 2: phases 1 and 2 as whole processes.

struct PhaseRun {
    double wall = 0, cpu = 0, user = 0, plain = 0;
    uint64_t bytes = 0;
    long peakKiB = 0;
};

uint64_t folderBytes() {
    uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator("."))
        if (entry.path().extension() == ".qem") bytes += entry.file_size();
    return bytes;
}

// Runs program with its arguments in the current folder with input on its
// standard input, standard output discarded, on the given cores (all when
// empty).
PhaseRun runPhase(const std::string& program, const std::string& input, const std::vector<int>& cores,
                  const std::vector<std::string>& arguments = {}) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) throw TextException("pipe failed");
    const uint64_t before = folderBytes();
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (!cores.empty()) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (int c : cores) CPU_SET(c, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        dup2(pipeEnds[0], 0);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        perror(program.c_str());
        _exit(127);
    }
    close(pipeEnds[0]);
    if (!input.empty() && write(pipeEnds[1], input.data(), input.size()) < 0) perror("answers");
    close(pipeEnds[1]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    PhaseRun r;
    r.wall = seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s ended with status %d\n", program.c_str(), status);
        throw TextException("phase failed");
    }
    r.cpu = cpuSeconds(usage);
    r.user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    r.peakKiB = usage.ru_maxrss;
    r.bytes = folderBytes() - before;
    r.plain = plainWrite(r.bytes);
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One row of the table: a program, its cores, a phase (or both) over all runs.
struct Series {
    std::vector<double> wall, cpu, user, plain, mb;
    long peakKiB = 0;
    void add(const PhaseRun& r) {
        wall.push_back(r.wall), cpu.push_back(r.cpu), user.push_back(r.user), plain.push_back(r.plain);
        mb.push_back(static_cast<double>(r.bytes) / 1e6);
        peakKiB = std::max(peakKiB, r.peakKiB);
    }
};

struct Program {
    std::string label, path;
    // [one core?][phase 1, phase 2, both]
    Series series[2][3];
};

void printSeries(const Program& p, int oneCore, int phase) {
    static const char* const phaseNames[] = {"1", "2", "1+2"};
    const Series& s = p.series[oneCore][phase];
    const double wall = median(s.wall), cpu = median(s.cpu), plain = median(s.plain), mb = median(s.mb);
    printf("%-10s %-5s %-5s %8.1f %7.3f %7.3f %7.3f %6.2f %8.1f %8.3f %7.3f | %7.3f %8.1f %6.2f | %6.1f\n",
           p.label.c_str(), oneCore ? "1" : "all", phaseNames[phase], mb, wall, cpu, median(s.user), cpu / wall, mb / wall,
           wall / (mb / 1000), cpu / (mb / 1000), plain, mb / plain, wall / plain, static_cast<double>(s.peakKiB) / 1024);
}

void wholeProcesses(std::vector<Program>& programs, int channels, double percent, int users, int runs) {
    char answers[64];
    snprintf(answers, sizeof answers, "%d\n%g\n%d\n", channels, percent, users);
    const std::vector<int> oneCore = {0};
    printf("Phases 1 and 2 as whole processes, median of %d runs (load average before: %s)\n", runs,
           loadAverage().c_str());
    for (int run = 0; run < runs; ++run) {
        // Two programs take turns at going first, so that neither always
        // runs on a machine the other has just warmed (or disturbed).
        std::vector<Program*> order;
        for (Program& p : programs) order.push_back(&p);
        if (run % 2) std::reverse(order.begin(), order.end());
        for (Program* program : order) {
            Program& p = *program;
            for (int single = 0; single < 2; ++single) {
                for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
                const std::vector<int> cores = single ? oneCore : std::vector<int>{};
                const PhaseRun first = runPhase(p.path, answers, cores);
                const PhaseRun second = runPhase(p.path, "", cores);
                PhaseRun both;
                both.wall = first.wall + second.wall, both.cpu = first.cpu + second.cpu;
                both.user = first.user + second.user;
                both.plain = first.plain + second.plain, both.bytes = first.bytes + second.bytes;
                both.peakKiB = std::max(first.peakKiB, second.peakKiB);
                p.series[single][0].add(first);
                p.series[single][1].add(second);
                p.series[single][2].add(both);
            }
        }
        fprintf(stderr, "run %d of %d done\n", run + 1, runs);
    }
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
    printf("%-10s %-5s %-5s %8s %7s %7s %7s %6s %8s %8s %7s | %7s %8s %6s | %6s\n", "program", "cores", "phase", "MB",
           "wall s", "cpu s", "user s", "cpu/w", "MB/s", "wall s/GB", "cpu s/GB", "plain s", "MB/s", "ratio", "RSS MB");
    for (const Program& p : programs)
        for (int single = 0; single < 2; ++single)
            for (int phase = 0; phase < 3; ++phase) printSeries(p, single, phase);
    printf("speed-up from one core to all (wall of phases 1+2, one core / all):");
    for (const Program& p : programs)
        printf("  %s %.2f", p.label.c_str(), median(p.series[1][2].wall) / median(p.series[0][2].wall));
    printf("\n");
    if (programs.size() == 2) {
        // Run by run, this program's time over the other's: the medians of
        // these pairs are steadier than the ratio of the medians on a shared
        // machine.
        for (int single = 0; single < 2; ++single) {
            const Series &a = programs[0].series[single][2], &b = programs[1].series[single][2];
            std::vector<double> cpu, wall, user;
            for (size_t i = 0; i < a.cpu.size(); ++i) {
                cpu.push_back(a.cpu[i] / b.cpu[i]);
                wall.push_back(a.wall[i] / b.wall[i]);
                user.push_back(a.user[i] / b.user[i]);
            }
            std::sort(cpu.begin(), cpu.end());
            printf("%s / %s, %s, phases 1+2, median of %zu paired ratios (spread): processor time %.3f (%.3f to %.3f), "
                   "wall time %.3f, user time %.3f\n",
                   programs[0].label.c_str(), programs[1].label.c_str(), single ? "one core" : "all cores", cpu.size(),
                   median(cpu), cpu.front(), cpu.back(), median(wall), median(user));
        }
        for (const Program& p : programs)
            printf("%s, all cores, phases 1+2: wall time / plain write of the same bytes %.3f (median of the runs' "
                   "ratios)\n",
                   p.label.c_str(), [&] {
                       const Series& s = p.series[0][2];
                       std::vector<double> r;
                       for (size_t i = 0; i < s.wall.size(); ++i) r.push_back(s.wall[i] / s.plain[i]);
                       return median(r);
                   }());
    }
    printf("load average after: %s\n", loadAverage().c_str());
}

// ---- Section 3: qemverify on the data set that qemgen writes.

void verifyRuns(const std::string& qemgen, const std::string& qemverify, int channels, double percent, int users,
                int runs) {
    char answers[64];
    snprintf(answers, sizeof answers, "%d\n%g\n%d\n", channels, percent, users);
    printf("\nqemverify on the three phases as qemgen writes them, median of %d runs (load average before: %s)\n", runs,
           loadAverage().c_str());
    Series written, checked, regenerated;
    for (int run = 0; run < runs; ++run) {
        for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
        PhaseRun all;
        for (const std::string& input : {std::string(answers), std::string(), std::string()}) {
            const PhaseRun phase = runPhase(qemgen, input, {});
            all.wall += phase.wall, all.cpu += phase.cpu, all.bytes += phase.bytes;
            all.peakKiB = std::max(all.peakKiB, phase.peakKiB);
        }
        written.add(all);
        PhaseRun check = runPhase(qemverify, "", {});
        check.bytes = all.bytes;
        checked.add(check);
        PhaseRun regenerate = runPhase(qemverify, "", {}, {"--regenerate"});
        regenerate.bytes = all.bytes;
        regenerated.add(regenerate);
        fprintf(stderr, "qemverify run %d of %d done\n", run + 1, runs);
    }
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
    printf("%-34s %8s %7s %7s %6s %8s | %6s\n", "work", "MB", "wall s", "cpu s", "cpu/w", "GB/s", "RSS MB");
    const auto row = [](const char* label, const Series& s) {
        const double wall = median(s.wall), cpu = median(s.cpu), mb = median(s.mb);
        printf("%-34s %8.1f %7.3f %7.3f %6.2f %8.2f | %6.1f\n", label, mb, wall, cpu, cpu / wall, mb / 1000 / wall,
               static_cast<double>(s.peakKiB) / 1024);
    };
    row("qemgen, phases 1 to 3 (writes)", written);
    row("qemverify (reads)", checked);
    row("qemverify --regenerate", regenerated);
    printf("qemverify --regenerate / qemgen (wall): %.2f\nload average after: %s\n",
           median(regenerated.wall) / median(written.wall), loadAverage().c_str());
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: factbench [--folder DIR] [--channels N] [--density PERCENT] [--users N] [--runs N]\n"
            "                 [--qemgen PATH] [--qemverify PATH] [--compare PATH] [--skip-files]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::string parent = "/tmp", qemgen = (fs::absolute(argv[0]).parent_path() / "qemgen").string(), other;
    std::string qemverify = (fs::absolute(argv[0]).parent_path() / "qemverify").string();
    int channels = 10, users = 10, runs = 5;
    double percent = 1.0;
    bool files = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--skip-files") files = false;
        else if (!hasValue) usage();
        else if (a == "--folder") parent = argv[++i];
        else if (a == "--channels") channels = atoi(argv[++i]);
        else if (a == "--density") percent = atof(argv[++i]);
        else if (a == "--users") users = atoi(argv[++i]);
        else if (a == "--runs") runs = std::max(1, atoi(argv[++i]));
        else if (a == "--qemgen") qemgen = fs::absolute(argv[++i]).string();
        else if (a == "--qemverify") qemverify = fs::absolute(argv[++i]).string();
        else if (a == "--compare") other = fs::absolute(argv[++i]).string();
        else usage();
    }
    std::string folder = parent + "/factbench.XXXXXX";
    if (!mkdtemp(folder.data())) {
        perror("mkdtemp");
        return 1;
    }
    const fs::path home = fs::current_path();
    fs::current_path(folder);
    printf("%d channels, %.2f %%, %d users; folder %s; %ld cores online\n\n", channels, percent, users,
           folder.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    int status = 0;
    try {
        if (files) fileByFile(channels, percent);
        std::vector<Program> programs = {{"this", qemgen, {}}};
        if (!other.empty()) programs.push_back({"compared", other, {}});
        wholeProcesses(programs, channels, percent, users, runs);
        if (!other.empty()) printf("compared: %s\n", other.c_str());
        verifyRuns(qemgen, qemverify, channels, percent, users, runs);
    } catch (const TextException& e) {
        fprintf(stderr, "failed: %s\n", e.what());
        status = 1;
    }
    fs::current_path(home);
    fs::remove_all(folder);
    return status;
}
