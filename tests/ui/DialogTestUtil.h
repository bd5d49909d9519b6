#pragma once

#include "protocol/Protocol.h"
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTest>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <string>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

// A dialog whose message boxes are recorded instead of shown.
struct RecordingDialog {
    std::unique_ptr<CVendrillDlg> dlg = std::make_unique<CVendrillDlg>();
    QStringList messages;
    int aboutBoxes = 0;

    RecordingDialog()
    {
        dlg->m_MessageBoxHook = [this](const QString& text) { messages << text; };
        dlg->m_AboutBoxHook = [this] { ++aboutBoxes; };
    }
    CVendrillDlg* operator->() const { return dlg.get(); }

    // Shows the window and waits until it has the keyboard.
    bool ShowActive() const
    {
        dlg->show();
        dlg->activateWindow();
        return QTest::qWaitForWindowActive(dlg.get());
    }
    QLineEdit* Edit(int id) const { return qobject_cast<QLineEdit*>(dlg->GetDlgItem(id)); }
};

inline QString Text(const std::string& s) { return QString::fromStdString(s); }

// The receive log's lines.
inline QStringList LogLines(const CVendrillDlg* dlg)
{
    const auto* log = qobject_cast<const QPlainTextEdit*>(dlg->GetDlgItem(vendrill::idc::ReceiveLog));
    return log->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The log line that a batch of bytes gives.
inline QString Hex(const std::vector<std::uint8_t>& bytes)
{
    return QString::fromStdString(vendrill::proto::HexLogLine(bytes.data(), bytes.size()));
}

// CPU time (user + system) the whole process has used, in milliseconds.
inline double CpuMs()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Share of one CPU the process uses while the user-interface thread idles for
// a second; a reader thread spinning on a dead line shows up near 100 %.
inline double CpuShareOverOneSecond()
{
    const double before = CpuMs();
    QTest::qWait(1000);  // measurement window, not synchronisation
    return (CpuMs() - before) / 1000.0;
}

// Collects what the process writes to standard output meanwhile.
class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_File = std::tmpfile();
        m_Saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (m_File && m_Saved >= 0)
            ::dup2(::fileno(m_File), STDOUT_FILENO);
    }
    ~StdoutCapture() { Stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string Stop()
    {
        if (m_Saved < 0)
            return m_Text;
        std::fflush(stdout);
        ::dup2(m_Saved, STDOUT_FILENO);
        ::close(m_Saved);
        m_Saved = -1;
        if (m_File) {
            std::rewind(m_File);
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, m_File)) > 0)
                m_Text.append(buf, n);
            std::fclose(m_File);
            m_File = nullptr;
        }
        return m_Text;
    }

private:
    std::FILE* m_File = nullptr;
    int m_Saved = -1;
    std::string m_Text;
};
