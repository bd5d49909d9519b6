// vendrill-cli: configures the printer's Bluetooth module from the command line.
//
// Standard output belongs to the results. The shared code writes developer
// trace lines to standard output (fd 1), so at start the program keeps a
// duplicate of the original standard output for its results and points fd 1
// at standard error (--trace) or at /dev/null. Trace lines can then never mix
// into the results a script reads.

#include "app/Trace.h"
#include "app/cli/Cli.h"
#include "app/cli/Interrupt.h"
#include "app/cli/Station.h"
#include "link/StdDescriptors.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
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
int SeparateResultsFromTrace(bool trace, bool stdoutWasClosed)
{
    const int results = stdoutWasClosed ? -1 : ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
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

    // Before anything opens a descriptor: none of ours may become 0, 1 or 2.
    const vendrill::StdDescriptorsFound standard = vendrill::GuardStandardDescriptors();

    // Ctrl-C and friends end the work through the session, which closes the
    // link the normal way (lock released, line settings restored).
    if (!InstallInterruptHandling())
        std::fprintf(stderr, "vendrill-cli: cannot route interrupt signals: %s\n", std::strerror(errno));

    // A reader that goes away early must not kill the program mid-exchange;
    // the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);

    // The production-line commands parse their own arguments (Station.h).
    if (bool trace = false; IsLineCommand(args, &trace)) {
        const int lineResults = SeparateResultsFromTrace(trace, standard.closed[STDOUT_FILENO]);
        vendrill::InitTrace();
        const int code = RunLineCommand(args, lineResults);
        if (lineResults >= 0)
            ::close(lineResults);
        return code;
    }

    const ParseResult parsed = ParseArguments(args);
    const int results = SeparateResultsFromTrace(parsed.ok && parsed.options.trace, standard.closed[STDOUT_FILENO]);
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
        const int err = results < 0 ? EBADF : errno;
        std::fprintf(stderr, "vendrill-cli: write error: cannot write the result to standard output: %s\n",
                     std::strerror(err));
        if (exitCode == kExitOk)
            exitCode = kExitFailure;
    }
    if (results >= 0)
        ::close(results);
    return exitCode;
}
