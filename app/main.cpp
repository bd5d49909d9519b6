#include "base/Trace.h"
#include "app/VendrillApp.h"
#include "base/StdDescriptors.h"
#include "vendrill/Version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QLibraryInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>
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

// --help and --version are answered without a window, so they must not need a display.
bool OnlyTextWanted(int argc, char* argv[])
{
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "-?" || arg == "--help" || arg == "--help-all" || arg == "-V" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

// -V as vendrill-cli and vendrill-sim spell it; Qt's own -v keeps working.
void SetUpParser(QCommandLineParser& parser, const QCommandLineOption& simulate, const QCommandLineOption& allSettings,
                 const QCommandLineOption& version)
{
    QCoreApplication::setApplicationName(QStringLiteral("Vendrill"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VENDRILL_VERSION));
    parser.setApplicationDescription(QStringLiteral("Bluetooth Setting Program."));
    parser.addHelpOption();
    parser.addOption(version);
    parser.addOption(simulate);
    parser.addOption(allSettings);
}

// Prints help or version and exits when asked; otherwise takes the options.
void ProcessArguments(QCommandLineParser& parser, const QCoreApplication& app, const QCommandLineOption& version)
{
    parser.process(app);
    if (parser.isSet(version))
        parser.showVersion();
}

// Whether Qt's Wayland platform plugin (qt6-wayland) is installed.
bool WaylandPluginInstalled()
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    return !platforms.entryList({QStringLiteral("libqwayland-*.so")}, QDir::Files).isEmpty();
}

// While the window's application object connects to the display, the
// platform's messages are held back: should no display be usable, one line
// says so instead of Qt's abort; otherwise they are passed on unchanged.
QtMessageHandler g_PreviousHandler = nullptr;
bool g_ConnectingDisplay = false;

void PassOn(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (g_PreviousHandler)
        g_PreviousHandler(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
std::vector<HeldMessage> g_Held;

// Why the window could not start, in one line: what was tried, Qt's own
// reason, and what to install or set.
void CannotStart(const QString& fatal)
{
    const auto value = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(name) + "=" + (v && *v ? v : "(not set)");
    };
    std::string reason;
    for (const HeldMessage& m : g_Held)
        reason += (reason.empty() ? "" : "; ") + m.text.trimmed().toStdString();
    if (reason.empty())
        reason = fatal.section(QLatin1Char('\n'), 0, 0).trimmed().toStdString();
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    std::string advice;
    if (reason.find("platform plugin \"wayland") != std::string::npos && WaylandPluginInstalled())
        advice = std::string("Qt's Wayland plugin is installed, but no Wayland compositor answered at ") +
                 value("WAYLAND_DISPLAY") + ": check that the desktop's compositor runs and that XDG_RUNTIME_DIR "
                 "names its folder (" + value("XDG_RUNTIME_DIR") + "), or set QT_QPA_PLATFORM=xcb where an X "
                 "display runs";
    else if (reason.find("platform plugin \"wayland") != std::string::npos)
        advice = "install qt6-wayland, or set QT_QPA_PLATFORM=xcb where an X display runs";
    else if (platform && *platform && reason.find("Could not find the Qt platform plugin") != std::string::npos)
        advice = "check QT_QPA_PLATFORM, or unset it to let Qt choose";
    else if ((!wayland || !*wayland) && (!x11 || !*x11))
        advice = "start it on a desktop, or set WAYLAND_DISPLAY or DISPLAY";
    else
        advice = "check that the display runs and that this user may use it";
    std::fprintf(stderr,
                 "vendrill: the window needs a graphical display and could not open one: %s (tried %s, %s, %s); "
                 "%s (vendrill-cli works without one)\n",
                 reason.c_str(), value("QT_QPA_PLATFORM").c_str(), value("WAYLAND_DISPLAY").c_str(),
                 value("DISPLAY").c_str(), advice.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (g_ConnectingDisplay) {
        if (type == QtFatalMsg)
            CannotStart(text);
        if (context.category && std::strncmp(context.category, "qt.qpa", 6) == 0) {
            g_Held.push_back({type, context.category, text});
            return;
        }
    }
    PassOn(type, context, text);
}

void ReleaseHeldMessages()
{
    g_ConnectingDisplay = false;
    for (const HeldMessage& m : g_Held) {
        const QMessageLogContext context(nullptr, 0, nullptr, m.category.constData());
        PassOn(m.type, context, m.text);
    }
    g_Held.clear();
    qInstallMessageHandler(g_PreviousHandler);
}

}  // namespace

int main(int argc, char* argv[])
{
    // First of all: no descriptor of ours may become 0, 1 or 2, or trace
    // lines written to "standard output" would go into it (the X connection).
    vendrill::GuardStandardDescriptors();
    vendrill::InitTrace();
    QCommandLineParser parser;
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Talk to a simulated printer module instead of a device."));
    const QCommandLineOption allSettings(
        QStringLiteral("all-settings"),
        QStringLiteral("Show every setting (security level, pairing and sniff mode, the single Get buttons, the "
                       "module version, the name's number and printed label). \"All settings\" in the window's "
                       "right-click menu turns this on and off for good."));
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Displays version information."));
    if (OnlyTextWanted(argc, argv)) {
        QCoreApplication text(argc, argv);
        SetUpParser(parser, simulate, allSettings, version);
        ProcessArguments(parser, text, version);  // prints and exits
        return 0;
    }

    g_PreviousHandler = qInstallMessageHandler(StartupMessageHandler);
    g_ConnectingDisplay = true;
    // The desktop entry that a Wayland compositor (app_id) and the task bar
    // find the window's icon and name by.
    QGuiApplication::setDesktopFileName(QStringLiteral("vendrill"));
    QApplication app(argc, argv);
    ReleaseHeldMessages();
    SetUpParser(parser, simulate, allSettings, version);
    ProcessArguments(parser, app, version);

    InstallTerminateHandler(&app);
    CVendrillApp vendrill(parser.isSet(simulate), parser.isSet(allSettings));
    vendrill.InitInstance();
    RemoveTerminateHandler();
    return 0;
}
