// Throughput of the first two phases: each large file's MB/s and lines/s
// beside the speed of writing the same number of bytes to the same folder with
// a plain large-block write loop, measured in the same run.
//
//   factbench [channels] [density-percent] [folder]     (defaults 10, 1, /tmp)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "context/Context.h"
#include "run/Dialogue.h"
#include "run/FileCapacities.h"
#include "run/Phases.h"
#include "run/WorkerBatch.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

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

// Seconds to write bytes to a new file in the current folder, 1 MiB a call.
double rawWrite(uint64_t bytes) {
    static std::vector<char> block(1 << 20, 'x');
    const auto start = Clock::now();
    int fd = open("rawwrite.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    uint64_t left = bytes;
    while (left > 0) {
        const size_t chunk = left < block.size() ? static_cast<size_t>(left) : block.size();
        if (write(fd, block.data(), chunk) != static_cast<ssize_t>(chunk)) break;
        left -= chunk;
    }
    close(fd);
    const double elapsed = seconds(start);
    unlink("rawwrite.tmp");
    return elapsed;
}

struct Totals {
    uint64_t bytes = 0;
    uint64_t lines = 0;
    double generate = 0;
    double raw = 0;
};

void report(const char* label, uint64_t bytes, uint64_t lines, double generate, double raw) {
    const double mb = static_cast<double>(bytes) / 1e6;
    printf("%-14s %9.1f MB %11llu lines %7.2f s %8.1f MB/s %11.0f lines/s | raw write %7.2f s %8.1f MB/s | ratio %5.2f\n",
           label, mb, static_cast<unsigned long long>(lines), generate, mb / generate,
           static_cast<double>(lines) / generate, raw, raw > 0 ? mb / raw : 0.0, raw > 0 ? generate / raw : 0.0);
    fflush(stdout);
}

void measure(const char* name, const std::function<void()>& produce, Totals& phase) {
    const auto start = Clock::now();
    produce();
    const double generate = seconds(start);
    const uint64_t bytes = fs::file_size(name);
    const uint64_t lines = countLines(name);
    const double raw = rawWrite(bytes);
    report(name, bytes, lines, generate, raw);
    phase.bytes += bytes;
    phase.lines += lines;
    phase.generate += generate;
    phase.raw += raw;
}

}  // namespace

int main(int argc, char** argv) {
    const int channels = argc > 1 ? atoi(argv[1]) : 10;
    const double percent = argc > 2 ? atof(argv[2]) : 1.0;
    const std::string parent = argc > 3 ? argv[3] : "/tmp";
    std::string folder = parent + "/factbench.XXXXXX";
    if (!mkdtemp(folder.data())) {
        perror("mkdtemp");
        return 1;
    }
    const fs::path home = fs::current_path();
    fs::current_path(folder);

    context.state = GeneratorState{channels, 10, densityCodeOf(percent), 1, 12345, 1};
    const auto buildStart = Clock::now();
    initContext();
    printf("%d channels, %.2f %% (density code %d), folder %s\n", channels, percent, context.state.densityCode,
           folder.c_str());
    printf("context (model and pattern): %.2f s\n", seconds(buildStart));

    try {
        Totals first;
        const auto dimensionStart = Clock::now();
        writeDimensionFiles();
        first.generate += seconds(dimensionStart);
        for (const auto& entry : fs::directory_iterator(".")) {
            first.bytes += entry.file_size();
            first.lines += countLines(entry.path());
        }
        measure("histsale.qem", [] { runHistoricalSales(historicalCells()); }, first);
        const size_t salesStack = lastBatchStackUse();
        measure("histinv.qem", [] { runHistoricalInventory(); }, first);
        const size_t inventoryStack = lastBatchStackUse();
        measure("custship.qem", [] { writeFile<ShippingCostWriter>("custship.qem", capacity::costFiles); }, first);
        measure("prodcos.qem", [] { writeFile<ProductCostWriter>("prodcos.qem", capacity::costFiles); }, first);
        report("phase 1", first.bytes, first.lines, first.generate, first.raw);

        Totals second;
        measure("budget.qem", [] { runBudget(); }, second);
        const size_t budgetStack = lastBatchStackUse();
        measure("currsale.qem", [] { runCurrentSales(currentCells()); }, second);
        const size_t currentStack = lastBatchStackUse();
        measure("currinv.qem", [] { writeFile<CurrentInventoryWriter>("currinv.qem", capacity::currentInventory); }, second);
        report("phase 2", second.bytes, second.lines, second.generate, second.raw);

        printf("deepest worker stack use (bytes of %zu): histsale %zu, histinv %zu, budget %zu, currsale %zu\n",
               workerStackSize, salesStack, inventoryStack, budgetStack, currentStack);
    } catch (const char* text) {
        fprintf(stderr, "failed: %s\n", text);
    }
    fs::current_path(home);
    fs::remove_all(folder);
    return 0;
}
