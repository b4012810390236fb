#pragma once
#include <string>

namespace qemload {

// The programs' command lines and signals, alike for qemload and qemexport.

// Whether text is a decimal number from low to high (at most 10 digits, no
// sign); the number in value.
bool parseCount(const std::string& text, long low, long high, long& value);

// The first SIGINT, SIGTERM or SIGHUP calls onSignal (which asks the program
// to stop cleanly), a second one ends the program; a signal ignored when the
// program started (run in the background) stays ignored.
void stopOnFirstInterrupt(void (*onSignal)(int));

}  // namespace qemload
