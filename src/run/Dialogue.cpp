#include "run/Dialogue.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include "context/Context.h"
#include "core/Failure.h"
#include "core/Report.h"

namespace qem {

namespace {

int skipSpace(FILE* in) {
    int c;
    do c = getc(in);
    while (c != EOF && isspace(c));
    return c;
}

// Throws away the rest of an entry that did not read as a number.
void discardToken(FILE* in, int c) {
    while (c != EOF && !isspace(c)) c = getc(in);
    if (c != EOF) ungetc(c, in);
}

[[noreturn]] void endOfInput() {
    reportError("end of input: the questions need an answer on standard input\n");
    throw ReportedFailure(1);
}

const char* const integerReply = "Sorry, that entry didn't translate into an integer >= 10\n";

int32_t askCount(const char* prompt, int64_t upperBound) {
    for (;;) {
        fputs(prompt, stdout);
        fflush(stdout);
        int64_t value = 0;
        const ReadResult r = readLong(stdin, value);
        if (r == ReadResult::endOfInput) endOfInput();
        if (r == ReadResult::number && value >= 10 && value <= upperBound) return static_cast<int32_t>(value);
        fputs(integerReply, stdout);
        fflush(stdout);
    }
}

}  // namespace

ReadResult readLong(FILE* in, int64_t& value) {
    int c = skipSpace(in);
    if (c == EOF) return ReadResult::endOfInput;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(in);
    }
    if (c == EOF || !isdigit(c)) {
        discardToken(in, c);
        return ReadResult::notANumber;
    }
    bool overflow = false;
    int64_t v = 0;
    while (c != EOF && isdigit(c)) {
        if (v > (INT64_MAX - 9) / 10)
            overflow = true;
        else
            v = v * 10 + (c - '0');
        c = getc(in);
    }
    if (c != EOF) ungetc(c, in);
    if (overflow) return ReadResult::tooLarge;
    value = negative ? -v : v;
    return ReadResult::number;
}

ReadResult readDouble(FILE* in, double& value) {
    int c = skipSpace(in);
    if (c == EOF) return ReadResult::endOfInput;
    std::string text;
    if (c == '+' || c == '-') {
        text += static_cast<char>(c);
        c = getc(in);
    }
    bool digits = false;
    while (c != EOF && isdigit(c)) {
        text += static_cast<char>(c);
        digits = true;
        c = getc(in);
    }
    if (c == '.') {
        text += '.';
        c = getc(in);
        while (c != EOF && isdigit(c)) {
            text += static_cast<char>(c);
            digits = true;
            c = getc(in);
        }
    }
    if (!digits) {
        discardToken(in, c);
        return ReadResult::notANumber;
    }
    if (c == 'e' || c == 'E') {
        std::string exponent(1, static_cast<char>(c));
        c = getc(in);
        if (c == '+' || c == '-') {
            exponent += static_cast<char>(c);
            c = getc(in);
        }
        if (c == EOF || !isdigit(c)) {
            discardToken(in, c);  // an exponent without digits spoils the entry
            return ReadResult::notANumber;
        }
        while (c != EOF && isdigit(c)) {
            exponent += static_cast<char>(c);
            c = getc(in);
        }
        text += exponent;
    }
    if (c != EOF) ungetc(c, in);
    value = strtod(text.c_str(), nullptr);
    return ReadResult::number;
}

void printBanner() {
    fputs("QEM-1v2 File Generator\n"
          "Version 1.0.0.3\n"
          "Written for the QEM-1 benchmark data set\n",
          stdout);
    fflush(stdout);
}

int32_t askChannelCount() { return askCount("Enter a number of channels (at least 10): ", maxChannelCount); }

int32_t askUserCount() { return askCount("Enter a number of users (at least 10): ", INT32_MAX); }

double askDensityPercentage() {
    for (;;) {
        fputs("Enter a density percentage between 0.1 and 40: ", stdout);
        fflush(stdout);
        double value = 0;
        const ReadResult r = readDouble(stdin, value);
        if (r == ReadResult::endOfInput) endOfInput();
        if (r == ReadResult::number && value >= 0.1 && value <= 40.0) return value;
        fputs("Sorry, that entry didn't translate into an number between 0.1 and 40\n", stdout);
        fflush(stdout);
    }
}

}  // namespace qem
