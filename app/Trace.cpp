#include "app/Trace.h"

#include <cstdarg>
#include <cstdio>

namespace vendrill {

void Trace(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void InitTrace()
{
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

}  // namespace vendrill
