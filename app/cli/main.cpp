// vendrill-cli: configures the printer's Bluetooth module from the command line.
//
// Standard output belongs to the results; developer trace lines go to
// standard error with --trace and nowhere otherwise.

#include "app/cli/Cli.h"
#include "app/cli/Interrupt.h"
#include "app/cli/Station.h"
#include "base/StdDescriptors.h"
#include "base/TextCodec.h"
#include "base/Trace.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    using namespace vendrill::cli;

    // Before anything opens a descriptor: none of ours may become 0, 1 or 2.
    const vendrill::StdDescriptorsFound standard = vendrill::GuardStandardDescriptors();
    SetProgramName("vendrill-cli");

    // Ctrl-C and friends end the work through the session, which closes the
    // link the normal way (lock released, line settings restored).
    if (!InstallInterruptHandling())
        Say(std::string("cannot route interrupt signals: ") + std::strerror(errno));

    // The locale tells which character set the terminal shows.
    std::setlocale(LC_CTYPE, "");
    // A reader that goes away early must not kill the program mid-exchange;
    // the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);

    const ParseResult parsed = ParseArguments(args);
    vendrill::SetTraceSink(parsed.ok && parsed.options.trace ? stderr : nullptr);

    // The production-line commands write their results as they come.
    if (parsed.ok && (parsed.options.command == Command::Station || parsed.options.command == Command::Records ||
                      parsed.options.command == Command::Ports || parsed.options.command == Command::RadioCheck))
        return RunLineCommand(parsed.options, [&parsed](const std::string& utf8) {
            // JSON and CSV stay UTF-8; lines for a terminal follow its character set.
            const std::string text =
                parsed.options.json || parsed.options.csv ? utf8 : vendrill::Utf8ToLocale(utf8);
            return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
        });

    int exitCode = kExitOk;
    std::string output;
    if (!parsed.ok) {
        exitCode = UsageError(parsed.error);
        // Asked for JSON, a script gets its one object also for a bad command line.
        for (const std::string& a : args)
            if (a == "--json")
                output = FormatJson({}, {}, parsed.error, exitCode);
    } else if (parsed.options.command == Command::Help) {
        output = UsageText(parsed.options.replyTimeoutMs);
    } else if (parsed.options.command == Command::Version) {
        output = VersionText();
    } else {
        const RunResult run = Run(parsed.options);
        exitCode = run.exitCode;
        // What was read before a failure is shown too; the exit status tells
        // that it is not complete.
        // JSON: one object, a failure included; plain: what was read, if anything.
        if (parsed.options.json)
            output = FormatJson(run.fields, run.numbers, run.error, exitCode);
        else if (!run.fields.empty())
            output = vendrill::Utf8ToLocale(FormatPlain(run.fields));
        if (exitCode != kExitOk)
            Say(run.error);
    }

    // Started without a standard output: /dev/null stands in for it, and
    // results written there would be lost without a word.
    const bool nowhere = standard.closed[STDOUT_FILENO] && !output.empty();
    if (!output.empty() && !nowhere)
        std::fwrite(output.data(), 1, output.size(), stdout);
    if (nowhere || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Say("write error");
        if (exitCode == kExitOk)
            exitCode = kExitFailure;
    }
    return exitCode;
}
