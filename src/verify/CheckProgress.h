#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "verify/Regenerate.h"

namespace qem {

// A status line on standard error while a check runs, redrawn in place four
// times a second (carriage return, text, clear to the end of the line) and
// cleared at the end: the share of the bytes read, GB/s, and the file being
// regenerated. The program shows it only when standard error is a terminal;
// it reads counters that the readers and writers keep anyway.
class CheckProgress {
public:
    CheckProgress(uint64_t totalBytes, const std::atomic<uint64_t>& bytesRead, RegenerationProgress* regeneration);
    ~CheckProgress();
    CheckProgress(const CheckProgress&) = delete;
    CheckProgress& operator=(const CheckProgress&) = delete;

private:
    void loop();

    const uint64_t total;
    const std::atomic<uint64_t>& read;
    RegenerationProgress* const regeneration;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool shown = false;
    std::thread thread;
};

}  // namespace qem
