#include "verify/DataSetCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "context/Context.h"
#include "dataset/DataSet.h"
#include "dataset/DataSetError.h"
#include "dataset/FolderCheck.h"
#include "dataset/Pieces.h"
#include "integrity/Crc32.h"
#include "integrity/Manifest.h"
#include "phase/DataSetSize.h"
#include "phase/PhaseFiles.h"
#include "publish/Publication.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif
#include "verify/CheckProgress.h"
#include "verify/Regenerate.h"

namespace qem {

namespace {

using Clock = std::chrono::steady_clock;
using qemdata::ContentCheck;
using qemdata::DataFile;

std::string str(int64_t value) { return std::to_string(value); }

// The bytes read at a time: small enough that a piece read is still in the
// processor's cache when its lines are hashed after its CRC-32, large enough
// that a large file keeps every thread busy while small files are read side
// by side.
constexpr uint64_t pieceBytes = 1 << 20;

// One line of the report.
struct Row {
    std::string name;
    std::optional<int64_t> lines, bytes;
    std::vector<std::string> faults;
};

// The answers and seed of a manifest as the generator keeps them; nothing
// for values no data set has.
std::optional<GeneratorState> answersOf(const Manifest& m, int32_t phase) {
    const auto fits = [](int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
    if (!fits(m.channels) || !fits(m.densityCode) || !fits(m.users) || !fits(m.seed)) return std::nullopt;
    const GeneratorState state{static_cast<int32_t>(m.channels), static_cast<int32_t>(m.users),
                               static_cast<int32_t>(m.densityCode), 1, static_cast<int32_t>(m.seed), phase};
    if (!stateIsSound(state)) return std::nullopt;
    return state;
}

// "NAME: what" without its "NAME: ", for a row that names NAME already.
std::string withoutName(const std::string& fault, const std::string& name) {
    return fault.starts_with(name + ": ") ? fault.substr(name.size() + 2) : fault;
}

class Check {
public:
    explicit Check(const VerifyCommand& command) : command(command) {}

    int run(bool progress);

private:
    void open();
    void checkAnswers();
    void read(bool progress);
    void regenerate(RegenerationProgress& progress);
    void collectRows();
    void compareRegenerated();
    int report() const;

    void fault(const std::string& text) { faults.push_back(text); }
    void startJoin();
    void join(size_t file, const char* bytes, size_t length, bool last);
    void finishJoin();

    const VerifyCommand& command;
    qemdata::Scope scope;
    std::unique_ptr<qemdata::DataSet> data;  // the data set, or some of its phases, or a part
    const qemdata::FolderCheck* folder = nullptr;
    ContentCheck* content = nullptr;
    std::vector<std::string> notes, faults;
    std::map<const DataFile*, std::string> readErrors;
    std::mutex readMutex;
    std::vector<Row> rows, regeneratedRows;
    std::map<int32_t, Regeneration> regenerated;
    double readSeconds = 0, regenerateSeconds = 0;
    int64_t compressedBytes = 0;
    bool anyCompressed = false;
    // --join: the whole files written as they are read, by file.
    struct Joined {
        qem::PieceFile* out = nullptr;
        size_t pieces = 0;
#ifdef QEM_HAVE_ZSTD
        std::unique_ptr<ZstdEncoder> encoder;
#endif
    };
    std::unique_ptr<Publication> joined;
    std::vector<Joined> joinedFiles;
    std::string joinOutcome;
};

void Check::open() {
    scope.phases = command.phases;
    scope.part = command.part;
    // The checks every reader makes (of the whole data set, or of the phases
    // or the part asked for).
    data = qemdata::DataSet::inspect(command.folder, scope, faults);
    folder = &data->check;
    content = data->content.get();
}

// Every manifest lists each whole file with the lines and bytes that its
// answers give (the aggregate files' from the density pattern they build).
void Check::checkAnswers() {
    const qemdata::ManifestSet& m = folder->manifests;
    if (m.empty()) return;
    const std::optional<GeneratorState> state = answersOf(m.settings(), 1);
    if (!state) {
        const Manifest& r = m.settings();
        fault(m.firstName() + ": channels " + str(r.channels) + ", density code " + str(r.densityCode) + ", users " +
              str(r.users) + ", seed " + str(r.seed) + ": answers no data set has");
        return;
    }
    if (const std::string problem = dataSetProblem(*state); !problem.empty()) {
        notes.push_back("the file sizes are not checked against the answers: " + problem);
        return;
    }
    context.state = *state;
    initDensityPattern();
    std::optional<FileSize> querySize;
    for (const auto& read : m.manifests()) {
        if (!command.phases.count(read.phase)) continue;
        for (const ManifestFile& f : read.m.files) {
            // Every query file has the same size: computed once.
            const bool query = qem::queryFileUser(f.name) > 0;
            if (query && !querySize) querySize = expectedFileSize(f.name);
            const std::optional<FileSize> size = query ? querySize : expectedFileSize(f.name);
            if (size && (f.fileLines != static_cast<int64_t>(size->lines) ||
                         f.fileBytes != static_cast<int64_t>(size->bytes())))
                fault(read.name + ": " + f.name + " has " + str(f.fileLines) + " lines, " + str(f.fileBytes) +
                      " bytes; the answers give " + str(static_cast<int64_t>(size->lines)) + " lines, " +
                      str(static_cast<int64_t>(size->bytes())) + " bytes");
        }
    }
}

// Every stored file of every listed file, read by one thread per
// processor: plain text in pieces of a megabyte, each compressed file from
// its start to its end by one thread (its frames can only be decoded in
// order), the compressed files first (the longest pieces of work).
void Check::read(bool progress) {
    if (!content) return;
    const std::vector<DataFile>& files = folder->files;
    qemdata::PieceScheduler scheduler;
    uint64_t total = 0;
    if (!command.join.empty()) startJoin();
    for (size_t i = 0; i < files.size(); ++i) {
        total += files[i].size();
        anyCompressed = anyCompressed || files[i].anyCompressed();
        if (joined) {
            // Joined: each file read in order by one thread, as it is written.
            qemdata::PieceTask whole;
            whole.source = i;
            whole.end = files[i].size();
            scheduler.add(whole);
            continue;
        }
        for (const qemdata::PieceTask& t : qemdata::planPieces(files[i], 0, i, pieceBytes, 1))
            scheduler.add(t, t.pieces > 1);
    }
    std::atomic<uint64_t> bytesRead{0};
    RegenerationProgress regeneration;
    const int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::vector<char>> buffers(static_cast<size_t>(jobs));
    std::optional<CheckProgress> display;
    if (progress) display.emplace(total, bytesRead, command.regenerate ? &regeneration : nullptr);
    // The files are read on threads of their own while the writers
    // regenerate the content sums: the two take turns on the processors.
    std::thread reading([&] {
        const auto started = Clock::now();
        qemdata::runJobs(scheduler, jobs, [&](int job, const qemdata::PieceTask& task) {
            const DataFile& file = files[task.source];
            try {
                DataFile::Reader reader(file, task.begin, qemdata::compressedCheck(*content));
                qemdata::readPieces(reader, task, pieceBytes, buffers[static_cast<size_t>(job)],
                                    [&](uint64_t at, const char* bytes, size_t length) {
                                        content->add(file, at, bytes, length);
                                        if (joined) join(task.source, bytes, length, at + length == task.end);
                                        bytesRead.fetch_add(length, std::memory_order_relaxed);
                                    });
                if (joined && task.end == 0) join(task.source, "", 0, true);
            } catch (const std::runtime_error& e) {
                // A file that cannot be read to its end (or a frame that
                // cannot be decoded, or a joined file that cannot be
                // written) is named; the others are read on.
                const std::lock_guard lock(readMutex);
                readErrors.emplace(&file, e.what());
            }
        });
        readSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    });
    if (command.regenerate) regenerate(regeneration);
    reading.join();
    content->finish();
}

void Check::regenerate(RegenerationProgress& progress) {
    const auto started = Clock::now();
    const qemdata::ManifestSet& m = folder->manifests;
    for (const int32_t phase : command.phases) {
        // A phase without its manifests, or with parts missing, has been
        // named already: there is nothing whole to compare with.
        bool listed = false;
        for (const qemdata::ExpectedFile& f : m.files()) listed = listed || f.phase == phase;
        if (!listed) continue;
        const std::optional<GeneratorState> state = answersOf(m.settings(), phase);
        const std::string problem = state ? dataSetProblem(*state) : "answers no data set has";
        if (!problem.empty()) {
            fault("phase " + str(phase) + " cannot be regenerated: " + problem);
            continue;
        }
        regenerated[phase] = regeneratePhase(*state, phase, progress, m.lineHashOf(phase));
        if (!regenerated[phase].failure.empty()) fault("phase " + str(phase) + ": " + regenerated[phase].failure);
    }
    regenerateSeconds = std::chrono::duration<double>(Clock::now() - started).count();
}

void Check::collectRows() {
    if (!content) return;
    for (const DataFile& file : folder->files) {
        const auto error = readErrors.find(&file);
        if (error != readErrors.end()) fault(error->second);
        const std::vector<ContentCheck::CompressedResult> compressed = content->compressedResults(file);
        for (size_t k = 0; k < compressed.size(); ++k) compressedBytes += static_cast<int64_t>(compressed[k].bytes);
        for (const ContentCheck::PartResult& part : content->results(file)) {
            Row row{part.where, std::nullopt, static_cast<int64_t>(part.bytes), {}};
            std::vector<std::string> found;  // its faults, as standard error names them
            if (part.read) {
                row.lines = part.lines;
                found = part.faults;
            } else if (error == readErrors.end()) {
                found = part.faults;
            }
            // A file that could not be read to its end was named above; its
            // compressed files not read whole are no fault of their own.
            for (size_t k = 0; k < compressed.size(); ++k)
                if (!compressed[k].fault.empty() && file.storedName(k) == part.where &&
                    (compressed[k].read || error == readErrors.end()))
                    found.push_back(compressed[k].fault);
            for (const std::string& f : found) fault(f);
            for (const std::string& f : found) row.faults.push_back(withoutName(f, row.name));
            if (!part.read && error != readErrors.end())
                row.faults.push_back(error->second.starts_with(row.name + ": ") ? withoutName(error->second, row.name)
                                                                                : "not read whole");
            rows.push_back(std::move(row));
        }
    }
}

void Check::compareRegenerated() {
    for (const auto& [phase, regeneration] : regenerated) {
        for (const RegeneratedFile& file : regeneration.files) {
            Row row{file.name + " (regenerated)", file.lines, file.bytes, {}};
            const DataFile* found = nullptr;
            for (const DataFile& f : folder->files) found = f.name() == file.name ? &f : found;
            int64_t lines = 0, bytes = 0;
            uint64_t sum = 0;
            bool whole = found && !readErrors.count(found);
            if (found)
                for (const ContentCheck::PartResult& part : content->results(*found)) {
                    whole = whole && part.read;
                    lines += part.lines;
                    bytes += static_cast<int64_t>(part.bytes);
                    sum += part.sum;
                }
            if (!found)
                row.faults.push_back("not compared: the file is missing, or no manifest lists it");
            else if (!whole)
                row.faults.push_back("not compared: a part of it is missing or unreadable");
            else {
                if (lines != file.lines || bytes != file.bytes)
                    row.faults.push_back("the answers and seed give " + str(file.lines) + " lines, " + str(file.bytes) +
                                         " bytes; the files hold " + str(lines) + " lines, " + str(bytes) + " bytes");
                if (sum != file.sum)
                    row.faults.push_back("the answers and seed give the content sum " + hex(file.sum, 16) +
                                         "; the files hold " + hex(sum, 16));
            }
            for (const std::string& text : row.faults) fault(file.name + ": " + text);
            regeneratedRows.push_back(std::move(row));
        }
    }
}

int Check::report() const {
    for (const std::string& note : notes) printf("%s\n", note.c_str());
    int64_t lines = 0, bytes = 0;
    for (const auto* group : {&rows, &regeneratedRows}) {
        for (const Row& row : *group) {
            std::string verdict;
            for (const std::string& text : row.faults) verdict += (verdict.empty() ? "" : "; ") + text;
            printf("%-28s %12s lines %15s bytes  %s\n", row.name.c_str(), row.lines ? str(*row.lines).c_str() : "-",
                   row.bytes ? str(*row.bytes).c_str() : "-", verdict.empty() ? "ok" : verdict.c_str());
            if (group == &rows) {
                lines += row.lines.value_or(0);
                bytes += row.bytes.value_or(0);
            }
        }
    }
    std::string phases;
    for (const int32_t p : command.phases) phases += (phases.empty() ? "" : ",") + str(p);
    std::string summary = (command.phases.size() == 1 ? "phase " : "phases ") + phases +
                          (command.part ? ", part " + str(command.part) : "") + ": " +
                          str(static_cast<int64_t>(rows.size())) + " files, " + str(lines) + " lines, " + str(bytes) +
                          " bytes" + (anyCompressed ? " (" + str(compressedBytes) + " compressed)" : "");
    char rate[96];
    snprintf(rate, sizeof rate, " read in %.2f s (%.2f GB/s)", readSeconds,
             readSeconds > 0 ? static_cast<double>(bytes) / readSeconds / 1e9 : 0.0);
    summary += rate;
    if (command.regenerate) {
        snprintf(rate, sizeof rate, "; content sums regenerated in %.2f s", regenerateSeconds);
        summary += rate;
    }
    summary += joinOutcome;
    summary += faults.empty() ? ": ok"
                              : ": " + str(static_cast<int64_t>(faults.size())) + " fault" + (faults.size() == 1 ? "" : "s");
    printf("%s\n", summary.c_str());
    fflush(stdout);
    for (const std::string& text : faults) fprintf(stderr, "qemverify: %s\n", text.c_str());
    return faults.empty() ? 0 : 1;
}

// The files of the join, each under a temporary name until all of them and
// their manifests are whole and every check holds.
void Check::startJoin() {
    const std::string ending = command.joinZstdLevel > 0 ? compressedEnding : "";
    std::vector<std::string> names;
    for (const DataFile& f : folder->files) names.push_back(f.name() + ending);
    for (const int32_t phase : command.phases) names.push_back(manifestName(phase));
    joined = std::make_unique<Publication>(command.join, "qemverify");
    try {
        joined->prepare(names, command.folder);
        // A fault found before reading dooms the join: nothing is written.
        if (!faults.empty()) {
            joined->discard();
            joined.reset();
            joinOutcome = "; nothing joined into " + command.join;
            return;
        }
        for (const DataFile& f : folder->files) {
            Joined j;
            j.out = &joined->add(f.name() + ending);
            j.out->create();
#ifdef QEM_HAVE_ZSTD
            if (command.joinZstdLevel > 0) j.encoder = std::make_unique<ZstdEncoder>(command.joinZstdLevel);
#endif
            joinedFiles.push_back(std::move(j));
        }
    } catch (const std::runtime_error& e) {
        fault(std::string("--join ") + command.join + ": " + e.what());
        joined.reset();
        joinedFiles.clear();
    }
}

// The next bytes of a joined file, in order: one thread writes each file.
void Check::join(size_t file, const char* bytes, size_t length, bool last) {
    Joined& j = joinedFiles[file];
    const auto put = [&](const char* b, size_t n) {
        j.out->put(j.pieces++, b, n, 0, 1, [] {});
        return 0;
    };
#ifdef QEM_HAVE_ZSTD
    if (j.encoder) {
        if (j.encoder->encode(bytes, length, put) != 0 || (last && j.encoder->finish(put) != 0))
            throw qemdata::DataSetError("compressing " + j.out->path + " failed");
        return;
    }
#endif
    (void)last;
    put(bytes, length);
}

// Every check held: the joined files are made durable, and published with
// a manifest of each phase (whole files: part 1 of 1) that gives what was
// read of them, each file's figures those of its parts put together.
void Check::finishJoin() {
    if (!faults.empty()) {
        joined->discard();
        joinOutcome = "; nothing joined into " + command.join;
        return;
    }
    try {
        const qemdata::ManifestSet& m = folder->manifests;
        std::map<int32_t, Manifest> phases;
        for (size_t i = 0; i < folder->files.size(); ++i) {
            const DataFile& file = folder->files[i];
            const qemdata::ExpectedFile* e = m.find(file.name());
            joinedFiles[i].out->complete(joinedFiles[i].pieces);
            Manifest& phase = phases[e->phase];
            ManifestFile f;
            f.name = file.name();
            uint64_t sum = 0;
            for (const ContentCheck::PartResult& part : content->results(file)) {
                f.crc = f.bytes == 0 ? part.crc : Crc32::combine(f.crc, part.crc, part.bytes);
                f.lines += part.lines;
                f.bytes += static_cast<int64_t>(part.bytes);
                sum += part.sum;
            }
            f.fileLines = f.lines;
            f.fileBytes = f.bytes;
            f.sum = f.fileSum = sum;
            if (command.joinZstdLevel > 0) {
                f.compressedBytes = static_cast<int64_t>(joinedFiles[i].out->bytes);
                f.compressedCrc = joinedFiles[i].out->crc;
            }
            phase.files.push_back(f);
        }
        joined->publish();
        for (auto& [number, phase] : phases) {
            phase.program = "qemverify";
            phase.channels = m.settings().channels;
            phase.densityCode = m.settings().densityCode;
            phase.users = m.settings().users;
            phase.seed = m.settings().seed;
            phase.phase = number;
            // The sums are of the line hash of the phase's manifests.
            phase.version = m.lineHashOf(number) == LineHash::keyed ? 2 : 3;
            if (command.joinZstdLevel > 0) phase.compression = "zstd:" + std::to_string(command.joinZstdLevel);
            qem::PieceFile& out = joined->add(manifestName(number));
            out.create();
            out.putWhole(phase.text());
        }
        joined->publish();
        joined->keep();
        joinOutcome = "; joined into " + command.join;
    } catch (const std::runtime_error& e) {
        joined->discard();
        fault(std::string("--join ") + command.join + ": " + e.what());
        joinOutcome = "; nothing joined into " + command.join;
    }
}

int Check::run(bool progress) {
    open();
    for (const std::string& n : folder->manifests.notes()) notes.push_back(n);
    checkAnswers();
    read(progress);
    collectRows();
    compareRegenerated();
    if (joined) finishJoin();
    return report();
}

}  // namespace

int verifyDataSet(const VerifyCommand& command, bool progress) {
    const int fd = ::open(command.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "qemverify: '%s': %s\n", command.folder.c_str(), strerror(errno));
        return 2;
    }
    close(fd);
    try {
        Check check(command);
        return check.run(progress);
    } catch (const qemdata::DataSetError& e) {
        fprintf(stderr, "qemverify: %s\n", e.what());
        return 2;
    }
}

}  // namespace qem
