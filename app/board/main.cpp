// vendrill-board: the production record, live, in a browser.

#include "app/board/Board.h"
#include "app/common/Say.h"
#include "base/StdDescriptors.h"
#include "vendrill/Version.h"

#include <clocale>
#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/signalfd.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    using namespace vendrill::board;
    vendrill::GuardStandardDescriptors();
    vendrill::app::SetProgramName("vendrill-board");
    // Messages follow the terminal's (or the journal's) character set.
    std::setlocale(LC_CTYPE, "");

    const ParseResult parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok)
        return vendrill::app::UsageError(parsed.error);
    if (parsed.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (parsed.version) {
        std::printf("vendrill-board %s\n", VENDRILL_VERSION);
        return kExitOk;
    }

    // Ctrl-C and a polite kill end the serving: blocked here before any
    // thread starts, they are heard through one descriptor that every wait
    // of the board watches (it stays readable; it is never read).
    sigset_t stop;
    sigemptyset(&stop);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop, s);
    const int stopFd = ::pthread_sigmask(SIG_BLOCK, &stop, nullptr) == 0 ? ::signalfd(-1, &stop, SFD_CLOEXEC) : -1;
    if (stopFd < 0) {
        vendrill::app::Say(std::string("cannot route signals: ") + std::strerror(errno));
        return kExitFailure;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // One worker thread per open page: without a bound, each would keep a
    // malloc arena of its own, tens of megabytes for a board that needs few.
    ::mallopt(M_ARENA_MAX, 2);

    const int code = Run(
        parsed.options, stopFd,
        [&parsed](const std::string& url) {
            vendrill::app::Say("the line board is at " + url +
                                   (parsed.options.token.empty() ? "" : " (add ?token=... from the token file)"),
                               stdout);
            std::fflush(stdout);
        },
        stderr);
    ::close(stopFd);
    return code;
}
