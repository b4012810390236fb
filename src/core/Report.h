#pragma once
#include <string_view>

namespace qem {

// Sets a function that every diagnostic calls first (a progress display
// clears its status line with it, so that the diagnostic starts a line of its
// own); none by default.
void setReportPrelude(void (*prelude)());

// Writes a diagnostic (a printf format and its arguments) to standard error,
// then flushes standard output, so that the dialogue shown so far is complete
// when the diagnostic appears.
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports what could not be built for want of memory and how much it needed,
// "not enough memory for <format...>\n", then throws the text exception
// "out of memory".
[[noreturn]] void failOutOfMemory(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the whole text to standard error (a progress display's line),
// bypassing the stream, which keeps no buffer for it anyway. A terminal that
// fails is given up silently: the run goes on without its progress.
void putTerminal(std::string_view text);

}  // namespace qem
