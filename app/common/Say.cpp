#include "app/common/Say.h"

#include "app/common/Exit.h"
#include "base/TextCodec.h"

namespace vendrill::app {

namespace {

const char* g_program = "vendrill";

}  // namespace

void SetProgramName(const char* name)
{
    g_program = name;
}

const char* ProgramName()
{
    return g_program;
}

void Say(const std::string& text, std::FILE* to)
{
    std::fprintf(to, "%s: %s\n", g_program, Utf8ToLocale(text).c_str());
}

int UsageError(const std::string& text)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", g_program, Utf8ToLocale(text).c_str(),
                 g_program);
    return kExitBadArgument;
}

}  // namespace vendrill::app
