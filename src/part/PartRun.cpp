#include "part/PartRun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "context/Context.h"
#include "core/Failure.h"
#include "core/OutputFile.h"
#include "core/RandomGenerator.h"
#include "core/RecordWriter.h"
#include "core/Report.h"
#include "core/StableStorage.h"
#include "integrity/Manifest.h"
#include "phase/DataSetSize.h"
#include "phase/PhaseFiles.h"
#include "part/PartPlan.h"
#include "phase/PhaseRun.h"

namespace qem {

namespace {

// Draws n values from the global stream and drops them: the draws of
// writers and buffers that this part does not write.
void skipDraws(int64_t n) {
    for (int64_t i = 0; i < n; ++i) (void)randomInt();
}

#ifdef QEM_HAVE_ZSTD
// A part file's bytes compressed as its writers hand over their blocks, on
// their own thread; one frame per file.
class ZstdFileEncoder : public OutputFile::Encoder {
public:
    explicit ZstdFileEncoder(int level) : encoder(level) {}
    int encode(const char* text, size_t length, const OutputFile::Put& put) override {
        return encoder.encode(text, length, put);
    }
    int finish(const OutputFile::Put& put) override { return encoder.finish(put); }

private:
    ZstdEncoder encoder;
};
#endif

// What this process has begun and not published: the manifest's side file
// and the part files under their temporary names. Removed when the part ends
// before the manifest is published (the failure then goes on to main), so
// that a failed part leaves nothing of its own making behind.
class Unpublished {
public:
    Unpublished() = default;
    Unpublished(const Unpublished&) = delete;
    Unpublished& operator=(const Unpublished&) = delete;
    ~Unpublished() {
        for (const std::string& name : temporary) unlink(name.c_str());
        if (!side.empty()) unlink(side.c_str());
    }

    std::string side;  // "" while it is not this process's (or once it is published)
    std::vector<std::string> temporary;
};

// An open file, closed at the end of its scope.
class OpenFile {
public:
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd >= 0) close(fd);
    }
    const int fd;
};

// The part's manifest: taken over while the part is written (its side file,
// locked, keeps a second run of the same part out), renamed into place once
// every part file is.
class PartManifest {
public:
    explicit PartManifest(const PartRequest& r)
        : name(manifestName(r.phase, r.part)),
          sideName(name + sideFileEnding),
          side(open(sideName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666)) {
        if (side.fd < 0) failFile("error opening '%s'\n%s\n", sideName.c_str(), errno);
        int rc;
        do rc = flock(side.fd, LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        // A file system without locks (some shared ones) runs the part unguarded.
        if (rc != 0 && errno == EWOULDBLOCK) {
            reportError("another run is writing part %d of phase %d in this folder\n", r.part, r.phase);
            throw ReportedFailure(1);
        }
        // From here on the side file is this run's: removed (before it is
        // closed, while the lock still holds) if the part fails, also when
        // this constructor does.
        work.side = sideName;
        // The old manifest goes before any part file changes: a manifest
        // always describes files that are complete.
        const int stale = stableStorage().removeFile(name.c_str());
        if (stale != 0 && stale != ENOENT) failFile("error writing '%s'\n%s\n", name.c_str(), stale);
        syncFolderOrFail();
    }
    PartManifest(const PartManifest&) = delete;
    PartManifest& operator=(const PartManifest&) = delete;

    // A part file about to be written under its temporary name: an earlier
    // attempt's file of that name goes first.
    void begin(const std::string& temporaryName) {
        const int stale = stableStorage().removeFile(temporaryName.c_str());
        if (stale != 0 && stale != ENOENT) failFile("error writing '%s'\n%s\n", temporaryName.c_str(), stale);
        work.temporary.push_back(temporaryName);
    }

    // Every part file closed (and synchronised): renames them into place,
    // then stores the manifest.
    void publish(const Manifest& manifest, const std::vector<std::string>& finalNames) {
        syncFolderOrFail();
        for (size_t f = 0; f < finalNames.size(); ++f) {
            if (const int error = stableStorage().renameFile(work.temporary[f].c_str(), finalNames[f].c_str()))
                failFile("error writing '%s'\n%s\n", finalNames[f].c_str(), error);
        }
        work.temporary.clear();
        syncFolderOrFail();
        const std::string text = manifest.text();
        int error = ftruncate(side.fd, 0) == 0 ? 0 : errno;
        for (size_t done = 0; error == 0 && done < text.size();) {
            const ssize_t n = pwrite(side.fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += static_cast<size_t>(n);
        }
        if (error == 0) error = syncOpenFile(side.fd, sideName.c_str(), true);
        if (error == 0) error = stableStorage().renameFile(sideName.c_str(), name.c_str());
        if (error != 0) failFile("error writing '%s'\n%s\n", name.c_str(), error);
        // The side file is the manifest now: nothing of it is left to remove
        // (a side file of that name from here on is another run's).
        work.side.clear();
        syncFolderOrFail();
    }

private:
    const std::string name, sideName;
    // Declared in this order so that the files are removed before the side
    // file is closed.
    OpenFile side;
    Unpublished work;
};

// Runs a writer of a worker batch as a worker thread would: a failure is
// reported ("exiting...\n") and fails the part with status 2.
void runAsWorker(RecordWriter& writer) {
    if (workerMain(&writer) == 0) {
        reportError("exiting...\n");
        throw ReportedFailure(2);
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
    PartManifest partManifest(request);
    Manifest manifest;
    manifest.program = "qempart";
    manifest.channels = request.channelCount;
    manifest.densityCode = request.densityCode;
    manifest.users = request.userCount;
    manifest.seed = request.seed;
    manifest.phase = request.phase;
    manifest.parts = request.parts;
    manifest.part = request.part;
    const std::string ending = request.zstdLevel > 0 ? compressedEnding : "";
    if (request.zstdLevel > 0) manifest.compression = "zstd:" + std::to_string(request.zstdLevel);
    std::vector<std::string> finalNames;
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
        for (size_t f = 0; f < files.size(); ++f) {
            ManifestFile entry;
            entry.name = files[f].name;
            entry.fileLines = std::accumulate(splits[f].writerRecords.begin(), splits[f].writerRecords.end(), int64_t{0});
            entry.fileBytes = byteCount(splits[f]);
            const std::string finalName = partFileName(files[f].name, request.part) + ending;
            const std::string temporaryName = finalName + temporaryEnding;
            partManifest.begin(temporaryName);
            OutputFile out(temporaryName.c_str());
#ifdef QEM_HAVE_ZSTD
            if (request.zstdLevel > 0) out.setEncoder(std::make_unique<ZstdFileEncoder>(request.zstdLevel));
#endif
            if (f < needed) writeFileRange(files[f], ranges[f], out, f + 1 < needed);
            out.close();
            entry.lines = static_cast<int64_t>(out.linesWritten());
            entry.bytes = static_cast<int64_t>(out.bytesWritten());
            entry.crc = out.crc32();
            entry.sum = out.contentSum();
            // The whole file's sum is known only to a part that is the whole file.
            if (request.parts == 1) entry.fileSum = entry.sum;
            if (request.zstdLevel > 0) {
                entry.compressedBytes = static_cast<int64_t>(out.encodedBytes());
                entry.compressedCrc = out.encodedCrc32();
            }
            manifest.files.push_back(std::move(entry));
            finalNames.push_back(finalName);
        }
    });
    partManifest.publish(manifest, finalNames);
    int64_t bytes = 0;
    for (const ManifestFile& f : manifest.files) bytes += f.bytes;
    return bytes;
}

bool canCompress() {
#ifdef QEM_HAVE_ZSTD
    return true;
#else
    return false;
#endif
}

}  // namespace qem
