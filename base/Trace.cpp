#include "base/Trace.h"

#include <atomic>
#include <cstdarg>

namespace vendrill {

namespace {
// Read by every thread that traces; set once at start-up.
std::atomic<std::FILE*> g_Sink{stdout};
}  // namespace

void Trace(const char* format, ...)
{
    std::FILE* sink = g_Sink.load(std::memory_order_relaxed);
    if (sink == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(sink, format, args);
    va_end(args);
}

void SetTraceSink(std::FILE* sink)
{
    g_Sink.store(sink, std::memory_order_relaxed);
}

void InitTrace()
{
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

}  // namespace vendrill
