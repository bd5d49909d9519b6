#pragma once

// The application object: runs the settings dialog modally as the one main
// window and returns when it closes.
class CVendrillApp {
public:
    explicit CVendrillApp(bool simulate = false, bool allSettings = false)
        : m_simulate(simulate), m_allSettings(allSettings)
    {
    }

    // Runs the dialog; always returns false (nothing left to run afterwards).
    bool InitInstance();

private:
    bool m_simulate;
    bool m_allSettings;  // the full view for this run, whatever was chosen before
};
