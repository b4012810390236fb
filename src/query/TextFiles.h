#pragma once
#include <string>

namespace qemquery {

// A file's bytes, whole; throws std::runtime_error "PATH: cannot be read".
std::string readAll(const std::string& path);

// The text into the file `path`, written under a temporary name and renamed
// into place once whole, so that `path` never holds part of it; throws
// std::runtime_error naming what failed (the temporary file is removed).
void writeWhole(const std::string& path, const std::string& text);

}  // namespace qemquery
