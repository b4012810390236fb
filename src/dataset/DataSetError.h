#pragma once
#include <stdexcept>
#include <string>

namespace qemdata {

// Every failure of a load is one of these: a message for the user that names
// what went wrong and where (file and line, or table and key). Nothing is
// published when one reaches the top.
class DataSetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A fault found inside one field or line; the reader adds the file name and
// line number before it becomes a DataSetError.
class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace qemdata
