#include "core/Report.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "core/Failure.h"

namespace qem {

namespace {

std::atomic<void (*)()> reportPrelude{nullptr};

void beforeReport() {
    if (void (*prelude)() = reportPrelude.load()) prelude();
}

}  // namespace

void setReportPrelude(void (*prelude)()) { reportPrelude.store(prelude); }

void reportError(const char* format, ...) {
    beforeReport();
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stdout);
}

void failOutOfMemory(const char* format, ...) {
    beforeReport();
    fputs("not enough memory for ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fflush(stdout);
    throw TextException("out of memory");
}

void putTerminal(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace qem
