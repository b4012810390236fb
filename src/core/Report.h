#pragma once

// Writes a diagnostic (a printf format and its arguments) to standard error,
// then flushes standard output, so that the dialogue shown so far is complete
// when the diagnostic appears.
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
