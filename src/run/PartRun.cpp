#include "run/PartRun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "context/Context.h"
#include "core/Crc32.h"
#include "core/OutputFile.h"
#include "core/RandomGenerator.h"
#include "core/RecordWriter.h"
#include "core/Report.h"
#include "core/StableStorage.h"
#include "run/DataSetSize.h"
#include "run/PartFiles.h"
#include "run/PartPlan.h"
#include "run/Phases.h"
#include "run/WorkerBatch.h"

namespace {

// What the manifest says of one file: the part's lines, bytes and CRC-32,
// and the whole file's lines and bytes (the sum over all parts). The part's
// lines and bytes are the output file's own counts; the digest sees every
// block as it is written.
struct PartFigures : OutputFile::Watcher {
    std::string name;
    int64_t lines = 0, bytes = 0, fileLines = 0, fileBytes = 0;
    Crc32 digest;

    void written(const char* text, size_t length) override { digest.add(text, length); }
};

[[noreturn]] void failFile(const char* format, const std::string& name, int error) {
    reportError(format, name.c_str(), strerror(error));
    exit(1);
}

void syncFolderOrFail() {
    if (const int error = syncFolder()) failFile("error writing '%s'\n%s\n", ".", error);
}

// Draws n values from the global stream and drops them: the draws of
// writers and buffers that this part does not write.
void skipDraws(int64_t n) {
    for (int64_t i = 0; i < n; ++i) (void)randomInt();
}

// The side file of the manifest while this process has it: removed if the
// process ends before the manifest is published, so that a failed part
// leaves nothing of its own making but the part files it had begun.
const std::string* unpublishedSide = nullptr;

void removeUnpublishedSide() {
    if (unpublishedSide) unlink(unpublishedSide->c_str());
}

// The manifest: taken over while the part is written (its side file, locked,
// keeps a second run of the same part out), renamed into place at the end.
class Manifest {
public:
    explicit Manifest(const PartRequest& r) : request(r), name(manifestName(r.phase, r.part)), side(name + ".new") {
        fd = open(side.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) failFile("error opening '%s'\n%s\n", side, errno);
        int rc;
        do rc = flock(fd, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        // A file system without locks (some shared ones) runs the part unguarded.
        if (rc != 0 && errno == EWOULDBLOCK) {
            reportError("another run is writing part %d of phase %d in this folder\n", r.part, r.phase);
            exit(1);
        }
        unpublishedSide = &side;
        atexit(removeUnpublishedSide);
        // The old manifest goes before any part file changes: a manifest
        // always describes files that are complete.
        const int stale = stableStorage().removeFile(name.c_str());
        if (stale != 0 && stale != ENOENT) failFile("error writing '%s'\n%s\n", name, stale);
        syncFolderOrFail();
    }
    ~Manifest() {
        unpublishedSide = nullptr;
        close(fd);
    }
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;

    // Stores the figures once every part file is closed (and synchronised).
    void publish(const std::vector<PartFigures>& files) {
        syncFolderOrFail();
        std::string text = "qempart manifest 1\n";
        auto line = [&](const char* key, long long value) { text += key + (" " + std::to_string(value)) + "\n"; };
        line("channels", request.channelCount);
        line("density-code", request.densityCode);
        line("users", request.userCount);
        line("seed", request.seed);
        line("phase", request.phase);
        line("parts", request.parts);
        line("part", request.part);
        for (const PartFigures& f : files) {
            char entry[512];
            snprintf(entry, sizeof entry, "file %s %" PRId64 " %" PRId64 " %08" PRIx32 " %" PRId64 " %" PRId64 "\n",
                     f.name.c_str(), f.lines, f.bytes, f.digest.value(), f.fileLines, f.fileBytes);
            text += entry;
        }
        line("files", static_cast<long long>(files.size()));
        int error = ftruncate(fd, 0) == 0 ? 0 : errno;
        for (size_t done = 0; error == 0 && done < text.size();) {
            const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += static_cast<size_t>(n);
        }
        if (error == 0) error = syncOpenFile(fd, side.c_str(), true);
        if (error == 0) error = stableStorage().renameFile(side.c_str(), name.c_str());
        if (error != 0) failFile("error writing '%s'\n%s\n", name, error);
        unpublishedSide = nullptr;
        syncFolderOrFail();
    }

private:
    const PartRequest& request;
    std::string name, side;
    int fd;
};

// Runs a writer of a worker batch as a worker thread would: a failure is
// reported and ends the process with status 2.
void runAsWorker(RecordWriter& writer) {
    if (workerMain(&writer) == 0) {
        reportError("exiting...\n");
        exit(2);
    }
}

// Writes the part's windows of one file, keeping the global stream in step
// with a whole run: through the whole file when a later file of the part
// needs the stream (streamAfter), else up to the part's last buffer.
void writeFileRange(const PhaseFile& phaseFile, const BufferRange& range, OutputFile& out, bool streamAfter) {
    const SplitFile& split = phaseFile.split;
    const size_t writers = split.writerRecords.size();
    if (phaseFile.replays) {
        // Every draw of the walk is needed: the writer runs whole.
        const std::unique_ptr<RecordWriter> writer = phaseFile.make(out, 0);
        writer->setWindow(range.first, range.end);
        writer->run();
        return;
    }
    // The last group of writers that holds a buffer of the part: after it
    // nothing but later files needs the stream.
    size_t lastGroup = 0;
    for (size_t w = 0; w < writers; ++w)
        if (!writerWindow(split, w, range).empty()) lastGroup = w / phaseFile.groupSize;
    for (size_t group = 0; group < writers; group += phaseFile.groupSize) {
        if (!streamAfter && group / phaseFile.groupSize > lastGroup) break;
        const size_t end = std::min(writers, group + phaseFile.groupSize);
        std::vector<std::unique_ptr<RecordWriter>> constructed(end - group);
        for (size_t w = group; w < end; ++w) {
            const BufferRange window = writerWindow(split, w, range);
            if (window.empty()) {
                skipDraws(split.capacity);
                continue;
            }
            constructed[w - group] = phaseFile.make(out, w);
            constructed[w - group]->setWindow(window.first, window.end);
        }
        for (size_t w = group; w < end; ++w) {
            const int64_t records = split.writerRecords[w];
            const int64_t partial = records % split.capacity;
            bool drewPartial = false;
            if (RecordWriter* writer = constructed[w - group].get()) {
                if (phaseFile.groupSize > 1)
                    runAsWorker(*writer);
                else
                    writer->run();
                drewPartial = writerWindow(split, w, range).end == buffersOf(records, split.capacity);
            }
            if (!drewPartial) skipDraws(partial);
        }
        // Destroyed the last first, as a batch's writers are.
        while (!constructed.empty()) constructed.pop_back();
    }
}

}  // namespace

std::string partFileName(const std::string& name, int32_t part) {
    char suffix[32];
    snprintf(suffix, sizeof suffix, ".part%04d", static_cast<int>(part));
    return name + suffix;
}

std::string manifestName(int32_t phase, int32_t part) {
    return partFileName("phase" + std::to_string(phase) + ".manifest", part);
}

void printPhaseSizes(const PartRequest& request) {
    context.state = GeneratorState{request.channelCount, request.userCount, request.densityCode, 1, request.seed, 1};
    initDensityPattern();
    for (int32_t phase = 1; phase <= 3; ++phase)
        printf("phase %d bytes %llu\n", static_cast<int>(phase), static_cast<unsigned long long>(expectedPhaseBytes(phase)));
    fflush(stdout);
}

int64_t writePart(const PartRequest& request) {
    context.state = GeneratorState{request.channelCount, request.userCount, request.densityCode, 1, request.seed,
                                   request.phase};
    Manifest manifest(request);
    std::vector<PartFigures> figures;
    guardedPhase([&] {
        initContext();
        const std::vector<PhaseFile> files = phaseFiles(request.phase, request.inventorySeed);
        std::vector<SplitFile> splits;
        for (const PhaseFile& f : files) splits.push_back(f.split);
        const std::vector<BufferRange> ranges = splitPhase(splits, request.parts, request.part);
        // Past the last file this part writes, the stream is not needed.
        size_t needed = 0;
        for (size_t f = 0; f < files.size(); ++f)
            if (!ranges[f].empty()) needed = f + 1;
        figures.resize(files.size());
        for (size_t f = 0; f < files.size(); ++f) {
            PartFigures& fig = figures[f];
            fig.name = files[f].name;
            fig.fileLines = std::accumulate(splits[f].writerRecords.begin(), splits[f].writerRecords.end(), int64_t{0});
            fig.fileBytes = byteCount(splits[f]);
            OutputFile out(partFileName(files[f].name, request.part).c_str());
            out.setWatcher(&fig);
            if (f < needed) writeFileRange(files[f], ranges[f], out, f + 1 < needed);
            out.close();
            fig.lines = static_cast<int64_t>(out.linesWritten());
            fig.bytes = static_cast<int64_t>(out.bytesWritten());
        }
    });
    manifest.publish(figures);
    int64_t bytes = 0;
    for (const PartFigures& f : figures) bytes += f.bytes;
    return bytes;
}
