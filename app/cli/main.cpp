// vendrill-cli: configures the printer's Bluetooth module from the command line.
//
// Standard output belongs to the results. The shared code writes developer
// trace lines to standard output (fd 1), so at start the program keeps a
// duplicate of the original standard output for its results and points fd 1
// at standard error (--trace) or at /dev/null. Trace lines can then never mix
// into the results a script reads.

#include "base/Trace.h"
#include "app/cli/Cli.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// Returns the descriptor that results go to (-1 when the program was started
// without a standard output) and leaves fd 1 for trace lines only.
int SeparateResultsFromTrace(bool trace)
{
    const int results = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (trace) {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    } else {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    return results;
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace vendrill::cli;

    // A reader that goes away early must not kill the program mid-exchange;
    // the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseArguments(args);
    const int results = SeparateResultsFromTrace(parsed.ok && parsed.options.trace);
    vendrill::InitTrace();

    int exitCode = kExitOk;
    std::string output;
    if (!parsed.ok) {
        std::fprintf(stderr, "vendrill-cli: %s\nTry 'vendrill-cli --help' for more information.\n",
                     parsed.error.c_str());
        exitCode = kExitBadArgument;
    } else if (parsed.options.command == Command::Help) {
        output = UsageText();
    } else if (parsed.options.command == Command::Version) {
        output = VersionText();
    } else {
        const RunResult run = Run(parsed.options);
        exitCode = run.exitCode;
        if (exitCode == kExitOk)
            output = parsed.options.json ? FormatJson(run.fields) : FormatPlain(run.fields);
        else
            std::fprintf(stderr, "vendrill-cli: %s\n", run.error.c_str());
    }

    std::fflush(stdout);
    if (!output.empty() && (results < 0 || !WriteAll(results, output))) {
        std::fprintf(stderr, "vendrill-cli: cannot write the result to standard output\n");
        if (exitCode == kExitOk)
            exitCode = kExitFailure;
    }
    if (results >= 0)
        ::close(results);
    return exitCode;
}
