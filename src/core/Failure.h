#pragma once
#include <exception>

namespace qem {

// How generation fails. Every failure inside generation is a TextException:
// a constant message that the phase's failure handler reports as
// "exception '<text>' caught, exiting" (and a worker thread as "<text>\n").
// A failure whose diagnostic has been printed in full already is a
// ReportedFailure, the one failure that travels up to a program's main:
// nothing below main ends the process; main flushes standard output and
// returns the failure's status, and nothing more is printed on the way.
class TextException : public std::exception {
public:
    explicit TextException(const char* text) noexcept : message(text) {}
    const char* what() const noexcept override { return message; }

private:
    const char* message;
};

class ReportedFailure {
public:
    explicit ReportedFailure(int status) noexcept : exitStatus(status) {}
    int status() const noexcept { return exitStatus; }

private:
    int exitStatus;
};

// Called inside a catch block: the text the program reports for the exception
// being handled. A TextException's text; "out of memory" for a failed
// allocation (as every other out-of-memory path reports it); what() for any
// other standard exception; null for anything else, which the program calls
// mysterious.
const char* currentFailureText() noexcept;

}  // namespace qem
