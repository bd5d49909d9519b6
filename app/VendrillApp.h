#pragma once

class CVendrillDlg;

// The application object: runs the settings dialog modally as the one main
// window and returns when it closes.
class CVendrillApp {
public:
    explicit CVendrillApp(bool simulate = false) : m_Simulate(simulate) {}

    // Runs the dialog; always returns false (nothing left to run afterwards).
    bool InitInstance();

    // The running settings dialog, or nullptr outside InitInstance.
    static CVendrillDlg* MainWnd();

    bool Simulate() const { return m_Simulate; }

private:
    bool m_Simulate;
};
