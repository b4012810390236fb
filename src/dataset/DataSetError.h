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

// A data file that cannot be read as its manifest and format say: its
// bytes, its compressed frames or one of its lines. Only these call for a
// look at what the file held before the failure (faultOfTask); a failure of
// the database or of the output is reported as it is.
class ReadFault : public DataSetError {
public:
    using DataSetError::DataSetError;
};

// A fault found inside one field or line; the reader adds the file name and
// line number before it becomes a DataSetError.
class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace qemdata
