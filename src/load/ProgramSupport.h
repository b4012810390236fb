#pragma once
#include <functional>
#include <string>
#include <vector>

namespace qemload {

// The programs' command lines and signals, alike for qemload and qemexport.

// Whether text is a decimal number from low to high (at most 10 digits, no
// sign); the number in value.
bool parseCount(const std::string& text, long low, long high, long& value);

// The first SIGINT, SIGTERM or SIGHUP calls onSignal (which asks the program
// to stop cleanly), a second one ends the program; a signal ignored when the
// program started (run in the background) stays ignored.
void stopOnFirstInterrupt(void (*onSignal)(int));

// Takes an option's value into the string: the text after "=", else the
// next argument; false (the scan then ends with "NAME needs a value") when
// there is none.
using TakeValue = std::function<bool(std::string&)>;

// Walks a command line: every option ("-h", "--name", "--name=value") goes to
// `option` with its name, whether "=" gave it a value, and a TakeValue; every
// other argument, and each after "--", to positional. `option` returns an
// error text, or "" to go on. Returns the first error, or "".
std::string scanOptions(const std::vector<std::string>& args, std::vector<std::string>& positional,
                        const std::function<std::string(const std::string& name, bool hasValue, const TakeValue&)>& option);

}  // namespace qemload
