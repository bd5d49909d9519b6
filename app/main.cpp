#include "base/Trace.h"
#include "app/VendrillApp.h"
#include "vendrill/Version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_SignalPipe[2] = {-1, -1};

void OnTerminateSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_SignalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP close the windows like the close box does, so the
// dialog's own close handling runs before the process ends.
void InstallTerminateHandler(QObject* owner)
{
    if (::pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_SignalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char buffer[16];
        while (::read(g_SignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QApplication::closeAllWindows();
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

void RemoveTerminateHandler()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    for (int& fd : g_SignalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    vendrill::InitTrace();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendrill"));
    QApplication::setApplicationVersion(QStringLiteral(VENDRILL_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Bluetooth Setting Program."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Talk to a simulated printer module instead of a device."));
    parser.addOption(simulate);
    parser.process(app);

    InstallTerminateHandler(&app);
    CVendrillApp vendrill(parser.isSet(simulate));
    vendrill.InitInstance();
    RemoveTerminateHandler();
    return 0;
}
