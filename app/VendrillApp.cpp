#include "app/VendrillApp.h"

#include "base/Trace.h"
#include "sim/SimHost.h"
#include "ui/VendrillDlg.h"

#include <cstdio>
#include <cstdlib>

using namespace vendrill;

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
    dlg.exec();
    return false;
}
