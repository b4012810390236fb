#include "verify/Regenerate.h"

#include <cerrno>
#include <cstring>

#include "core/Failure.h"
#include "phase/FileWriters.h"
#include "phase/PhaseFiles.h"

namespace qem {

namespace {

// Sets the file the progress display reads, under its lock.
void showFile(RegenerationProgress& progress, const OutputFile* file) {
    const std::lock_guard lock(progress.mutex);
    if (!file && progress.file) progress.finishedBytes += progress.file->bytesWritten();
    progress.file = file;
}

RegeneratedFile regenerateFile(const PhaseFile& f, RegenerationProgress& progress, LineHash hash,
                               std::string& failure) {
    OutputFile out(f.name.c_str(), OutputFile::CountOnly{}, hash);
    showFile(progress, &out);
    bool finished = false;
    try {
        finished = runFileWriters(f, out);
        if (!finished) failure = "a writer of " + f.name + " failed";
    } catch (const ReportedFailure&) {
        failure = "regenerating " + f.name + " failed";
    } catch (...) {
        const int err = errno;
        const char* text = currentFailureText();
        failure = "regenerating " + f.name + " failed: " + (text ? text : strerror(err));
    }
    showFile(progress, nullptr);
    return {f.name, static_cast<int64_t>(out.linesWritten()), static_cast<int64_t>(out.bytesWritten()),
            out.contentSum()};
}

}  // namespace

Regeneration regeneratePhase(const GeneratorState& state, int32_t phase, RegenerationProgress& progress,
                             LineHash hash) {
    Regeneration result;
    {
        const std::lock_guard lock(progress.mutex);
        progress.phase = phase;
    }
    try {
        context.state = state;
        context.state.phase = phase;
        initContext();
        // The files in writing order, each made when its turn comes (a
        // query file's walk draws from the stream where the previous one
        // left it).
        const int64_t count = phaseFileCount(phase);
        const std::vector<PhaseFile> files = phase == 3 ? std::vector<PhaseFile>{} : phaseFiles(phase);
        for (int64_t i = 0; i < count && result.failure.empty(); ++i)
            result.files.push_back(regenerateFile(phase == 3 ? phaseFile(3, i) : files[static_cast<size_t>(i)],
                                                  progress, hash, result.failure));
    } catch (const ReportedFailure&) {
        result.failure = "the answers cannot be regenerated";
    } catch (...) {
        const int err = errno;
        const char* text = currentFailureText();
        result.failure = std::string("regenerating phase ") + std::to_string(phase) +
                         " failed: " + (text ? text : strerror(err));
    }
    return result;
}

}  // namespace qem
