#include "app/VendrillApp.h"

#include "base/Trace.h"
#include "sim/SimHost.h"
#include "ui/VendrillDlg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

using namespace vendrill;

namespace {

// The one setting the window keeps: whether the user chose the full view, in
// $XDG_CONFIG_HOME/vendrill/vendrill.conf beside the port map. Reading it
// writes nothing; the file exists only while the full view is chosen.
constexpr const char* kFullViewKey = "window/allSettings";

QSettings WindowSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("vendrill"),
                     QStringLiteral("vendrill"));
}

bool RememberedFullView()
{
    return WindowSettings().value(QString::fromLatin1(kFullViewKey), false).toBool();
}

void RememberFullView(bool on)
{
    QSettings settings = WindowSettings();
    if (on)
        settings.setValue(QString::fromLatin1(kFullViewKey), true);
    else
        settings.remove(QString::fromLatin1(kFullViewKey));
    settings.sync();
    if (settings.status() != QSettings::NoError)
        std::fprintf(stderr, "vendrill: could not remember the view in %s\n", qPrintable(settings.fileName()));
    else if (!on && settings.allKeys().isEmpty() && QFile::remove(settings.fileName()))
        QDir().rmdir(QFileInfo(settings.fileName()).path());  // only when nothing else is there
}

}  // namespace

bool CVendrillApp::InitInstance()
{
    // With --simulate the module runs inside the program on a pseudo-terminal
    // that COM1 resolves to. It outlives the dialog, whose close still talks
    // to it.
    CSimHost simulator;
    if (m_simulate) {
        if (simulator.Start()) {
            ::setenv("VENDRILL_COM1", simulator.SlavePath().c_str(), 1);
            std::fprintf(stderr, "vendrill: simulated module on %s (COM1)\n", simulator.SlavePath().c_str());
        } else {
            std::fprintf(stderr, "vendrill: could not start the simulated module\n");
        }
    }
    CVendrillDlg dlg;
    dlg.SetFullView(m_allSettings || RememberedFullView());
    QObject::connect(&dlg, &CVendrillDlg::FullViewChosen, [](bool on) { RememberFullView(on); });
    dlg.exec();
    return false;
}
