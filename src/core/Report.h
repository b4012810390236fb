#pragma once

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

}  // namespace qem
