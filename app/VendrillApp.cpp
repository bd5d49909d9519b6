#include "app/VendrillApp.h"

#include "ui/VendrillDlg.h"

namespace {
CVendrillDlg* g_MainWnd = nullptr;
}

CVendrillDlg* CVendrillApp::MainWnd() { return g_MainWnd; }

bool CVendrillApp::InitInstance()
{
    CVendrillDlg dlg;
    g_MainWnd = &dlg;
    dlg.exec();
    g_MainWnd = nullptr;
    return false;
}
