#include "verify/CheckProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/Report.h"

namespace qem {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

CheckProgress::CheckProgress(uint64_t totalBytes, const std::atomic<uint64_t>& bytesRead,
                             RegenerationProgress* regeneration)
    : total(totalBytes), read(bytesRead), regeneration(regeneration), thread([this] { loop(); }) {}

CheckProgress::~CheckProgress() {
    {
        const std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
    if (shown) putTerminal("\r\x1b[K");
}

void CheckProgress::loop() {
    const Clock::time_point started = Clock::now();
    std::unique_lock lock(mutex);
    while (!stopping) {
        char text[160];
        const uint64_t done = read.load(std::memory_order_relaxed);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        snprintf(text, sizeof text, "reading %5.1f %% of %.2f GB, %.2f GB/s", total ? 100.0 * done / total : 100.0,
                 total / 1e9, seconds > 0.1 ? done / seconds / 1e9 : 0.0);
        std::string line = text;
        if (regeneration) {
            const std::lock_guard files(regeneration->mutex);
            if (regeneration->file) {
                snprintf(text, sizeof text, "  regenerating phase %d %s, %.2f GB", static_cast<int>(regeneration->phase),
                         regeneration->file->name(),
                         (regeneration->finishedBytes + regeneration->file->bytesWritten()) / 1e9);
                line += text;
            }
        }
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
            line.resize(size.ws_col - 1u);
        putTerminal("\r" + line + "\x1b[K");
        shown = true;
        wake.wait_for(lock, std::chrono::milliseconds(250));
    }
}

}  // namespace qem
