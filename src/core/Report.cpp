#include "core/Report.h"

#include <cstdarg>
#include <cstdio>

void reportError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stdout);
}

void failOutOfMemory(const char* format, ...) {
    fputs("not enough memory for ", stderr);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
    fflush(stdout);
    throw "out of memory";
}
