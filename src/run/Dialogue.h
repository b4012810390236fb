#pragma once
#include <cstdint>
#include <cstdio>

#include "sizes/DataSetShape.h"

namespace qem {

// The console dialogue of a first run: banner and the three questions. Each
// question reads numbers the way a formatted read of one long integer or one
// double does (leading white space and line ends skipped, the number's text
// consumed, whatever follows left for the next read) and asks again until an
// entry is accepted. End of input while a question is asked is reported and
// fails the run with status 1 (a ReportedFailure).
void printBanner();
int32_t askChannelCount();
double askDensityPercentage();
int32_t askUserCount();


// Outcome of reading one number from a stream.
enum class ReadResult { number, notANumber, tooLarge, endOfInput };

// Reads a decimal integer (optional sign, digits). An entry without digits is
// discarded up to the next white space.
ReadResult readLong(FILE* in, int64_t& value);
// Reads a decimal floating-point number (sign, digits, point, exponent).
ReadResult readDouble(FILE* in, double& value);

}  // namespace qem
