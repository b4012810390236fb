#include "run/Progress.h"

#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "context/Context.h"
#include "core/Report.h"
#include "phase/DataSetSize.h"

namespace qem {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto redrawInterval = std::chrono::milliseconds(250);

std::atomic<bool> enabled{false};

// What the terminal shows, shared by the thread that writes a file (start and
// end) and the redraw thread; diagnostics clear the line through it.
struct Display {
    std::mutex mutex;
    std::condition_variable wake;
    bool threadStarted = false;
    std::thread thread;     // the redraw thread, once started
    bool stopping = false;  // the redraw thread is to end
    const OutputFile* file = nullptr;  // the file being written, or none
    int32_t phase = 0;
    uint64_t expected = 0;  // bytes; 0 where the file is not one of the data set's
    Clock::time_point started, lastDrawn;
    bool shown = false;      // a status line is on the terminal
    bool suspended = false;  // a diagnostic appeared: no redraw until the next file
};

// Never destroyed: a diagnostic may clear the line through it at any time
// until the process ends.
Display& display() {
    static Display* shared = new Display;
    return *shared;
}


std::string formatted(const char* format, auto... arguments) {
    char text[256];
    snprintf(text, sizeof text, format, arguments...);
    return text;
}

// Megabytes (10^6 bytes) with one decimal below 10 GB, else gigabytes.
std::string sizeText(uint64_t bytes) {
    const double b = static_cast<double>(bytes);
    return b < 1e10 ? formatted("%.1f MB", b / 1e6) : formatted("%.2f GB", b / 1e9);
}

std::string durationText(double seconds) {
    const auto s = static_cast<long>(seconds + 0.5);
    return s >= 3600 ? formatted("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60)
                     : formatted("%ld:%02ld", s / 60, s % 60);
}

std::string statusText(const Display& d, Clock::time_point now) {
    const uint64_t written = d.file->bytesWritten();
    const double seconds = std::chrono::duration<double>(now - d.started).count();
    const double rate = seconds > 0.1 ? static_cast<double>(written) / seconds : 0.0;  // bytes a second
    std::string text = formatted("phase %d  %s  ", static_cast<int>(d.phase), d.file->name());
    text += d.expected > 0 ? formatted("%5.1f %%  ", 100.0 * static_cast<double>(std::min(written, d.expected)) /
                                                          static_cast<double>(d.expected))
                           : "  -- %  ";
    text += sizeText(written) + "  " + (rate > 0 ? formatted("%.1f MB/s", rate / 1e6) : "-- MB/s") + "  ";
    text += d.expected > 0 && rate > 0
                ? durationText(static_cast<double>(d.expected - std::min(written, d.expected)) / rate) + " left"
                : "--:-- left";
    return text;
}

// Redraws the status line in place, cut to the terminal's width so that it
// never wraps (a wrapped line could not be redrawn with a carriage return).
void draw(Display& d) {
    const Clock::time_point now = Clock::now();
    std::string text = statusText(d, now);
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
        text.resize(size.ws_col - 1u);
    putTerminal("\r" + text + "\x1b[K");
    d.shown = true;
    d.lastDrawn = now;
}

void clearLine(Display& d) {
    if (d.shown) putTerminal("\r\x1b[K");
    d.shown = false;
}

void redrawLoop() {
    Display& d = display();
    std::unique_lock lock(d.mutex);
    while (!d.stopping) {
        if (!d.file || d.suspended)
            d.wake.wait(lock);
        else if (d.wake.wait_until(lock, d.lastDrawn + redrawInterval) == std::cv_status::timeout && d.file &&
                 !d.suspended)
            draw(d);
    }
}

// Before a diagnostic: the status line goes and stays away until the next file.
void clearForDiagnostic() {
    Display& d = display();
    const std::lock_guard lock(d.mutex);
    clearLine(d);
    d.suspended = true;
}

}  // namespace

void enableProgress() {
    enabled.store(true, std::memory_order_relaxed);
    setReportPrelude(clearForDiagnostic);
}

bool progressEnabled() { return enabled.load(std::memory_order_relaxed); }

void stopProgress() {
    Display& d = display();
    std::thread redraw;
    {
        const std::lock_guard lock(d.mutex);
        d.stopping = true;
        redraw = std::move(d.thread);
        d.wake.notify_one();
    }
    if (redraw.joinable()) redraw.join();
}

void showPhaseStart(int32_t phase) {
    if (!progressEnabled()) return;
    const uint64_t bytes = expectedPhaseBytes(phase);
    const std::string needed = formatted("phase %d writes %s (%llu bytes)", static_cast<int>(phase),
                                         sizeText(bytes).c_str(), static_cast<unsigned long long>(bytes));
    struct statvfs folder {};
    std::string line;
    if (statvfs(".", &folder) != 0) {
        line = needed + "; the free space of this folder is unknown: " + strerror(errno) + "\n";
    } else {
        const uint64_t free = static_cast<uint64_t>(folder.f_bavail) * folder.f_frsize;
        const std::string freeText = sizeText(free) + formatted(" (%llu bytes)", static_cast<unsigned long long>(free));
        line = free >= bytes ? needed + "; " + freeText + " free in this folder\n"
                             : "warning: " + needed + ", but only " + freeText + " are free in this folder\n";
    }
    // Answers read from a file or a pipe are not echoed: the last question on
    // a terminal then still waits for its line end.
    if (phase == 1 && !isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) line.insert(0, "\n");
    Display& d = display();
    const std::lock_guard lock(d.mutex);
    putTerminal(line);
}

FileProgress::FileProgress(const OutputFile& f) {
    if (!progressEnabled()) return;
    file = &f;
    unwinding = std::uncaught_exceptions();
    started = Clock::now();
    const std::optional<FileSize> size = expectedFileSize(f.name());
    Display& d = display();
    const std::lock_guard lock(d.mutex);
    if (!d.threadStarted) {
        // Without the thread (none could be created) the lines still appear
        // at the start and end of every file.
        try {
            d.thread = std::thread(redrawLoop);
        } catch (const std::system_error&) {
        }
        d.threadStarted = true;
    }
    d.file = &f;
    d.phase = context.state.phase;
    d.expected = size ? size->bytes() : 0;
    d.started = started;
    d.suspended = false;
    draw(d);
    d.wake.notify_one();
}

FileProgress::~FileProgress() {
    if (!file) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Display& d = display();
    const std::lock_guard lock(d.mutex);
    clearLine(d);
    d.file = nullptr;
    // A file that failed has had its diagnostic; it gets no summary.
    if (std::uncaught_exceptions() == unwinding)
        putTerminal(formatted("%-12s %12llu lines %15llu bytes %9.2f s\n", file->name(),
                              static_cast<unsigned long long>(file->linesWritten()),
                              static_cast<unsigned long long>(file->bytesWritten()), seconds));
}

}  // namespace qem
