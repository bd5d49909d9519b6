#pragma once

#include "protocol/Protocol.h"
#include "session/Session.h"

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class QMenu;

namespace vendrill {
class EditLimit;
}

// The program's one working window: the settings dialog with its 69
// controls, the values bound to them, the flags shared with the links and
// the rules that enable, disable, show and hide controls. The conversation
// with the module is the session's; the dialog shows what it hears of it.
class CVendrillDlg : public QDialog, private vendrill::CSession::Observer {
    Q_OBJECT

public:
    explicit CVendrillDlg(QWidget* parent = nullptr);
    ~CVendrillDlg() override;

    // --- control access (by identifier of the control table) ---------------
    QWidget* GetDlgItem(int id) const;  // nullptr for an unknown identifier
    void EnableWindow(int id, bool on);
    void ShowWindow(int id, bool show);
    bool IsDlgButtonChecked(int id) const;
    void CheckDlgButton(int id, bool on);
    int GetCurSel(int id) const;        // -1 when nothing selected / typed text
    void SetCurSel(int id, int index);  // from code: runs no selection-change handler
    std::string GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const std::string& cp949);

    // Gathers control values into the members (true) or shows the members in
    // the controls (false). A gather stops at the first typed field that holds
    // more than its limit, after telling the user, and returns false.
    bool UpdateData(bool saveAndValidate = true);
    // Before a scatter the program starts on its own: takes what the user
    // typed into the typed-into fields, so that the scatter keeps it.
    void TakeTypedText();

    // --- message boxes -----------------------------------------------------
    // Every message box of the user-interface thread goes through here: modal,
    // caption "Vendrill", OK only.
    enum class MsgIcon { None, Exclamation };
    void MessageBox(const std::string& cp949Text, MsgIcon icon = MsgIcon::None);
    std::function<void(const QString&)> m_messageBoxHook;  // when set: record instead of showing
    std::function<void()> m_aboutBoxHook;                  // when set: called instead of the About box

    // --- link and protocol handlers ---------------------------------------
    void OnBnClickedOpen();
    void OnBnClickedClose();
    void OnBnClickedGetInfo();
    void OnBnClickedGetBDA();
    void OnBnClickedGetPinKey();
    void OnBnClickedGetBDN();
    void OnBnClickedGetLevel();
    void OnBnClickedGetPairing();
    void OnBnClickedSetPinKey();
    void OnBnClickedSetBDN();
    void OnBnClickedSetLevel();
    void OnBnClickedSetPairing();
    void OnBnClickedSniffStatus();
    void OnBnClickedSniffEnable();
    void OnBnClickedSniffDisable();
    void ClearDisplayedValues();
    long OnCommunication();
    int BT_RECEIVE_MSG(const std::string& reply);
    void OnTimer(int id);

    // Timer 1 runs until the deadline of the session's request outstanding;
    // on expiry OnTimer(1).
    bool IsTimer1Running() const;

    // --- links -------------------------------------------------------------
    // Which link is up. Read and write go over the link that is up, whichever
    // radio button is on; with no link up the radio button chooses.
    using Link = vendrill::CSession::LinkKind;
    Link ActiveLink() const { return m_session.ActiveLink(); }
    bool OpenPort(const std::string& deviceName, std::uint32_t baudRate, std::uint8_t dataBits,
                  std::uint8_t parity, std::uint8_t stopBits);
    bool ClosePort();
    int ReadComm(std::uint8_t* buffer, int size);
    int WriteComm(const std::uint8_t* data, int count);
    bool USB_Connection();
    bool USB_Disconnection();
    // The application's main window, which USB discovery reports through.
    static CVendrillDlg* MainWindow();
    // Shows the resolved device path of the selected port as its tool tip.
    void UpdatePortToolTip();
    // Why a link could not be opened or went away: the status line keeps its
    // short text, the list that chooses the link (Port, or Printer Model in
    // the USB view) takes the reason as its tool tip, and a trace line.
    void ExplainLinkFailure(Link link, const std::string& why);
    // Called on a reader thread: shows the text in a box on the user-interface
    // thread and waits for its OK, or until a link is closed.
    void ThreadMessageBox(const std::string& cp949Text);
    // Posts a notification from a reader thread to the dialog. What the
    // thread wrote before is published to the user-interface thread through
    // m_postedEvents as well as through Qt's queue.
    void PostFromReader(QEvent* event);
    bool IsWatcherRunning() const { return m_session.IsWatcherRunning(); }
    bool IsUsbReaderRunning() const { return m_session.IsUsbReaderRunning(); }

    std::string m_strPortName;
    std::uint32_t m_dwBaudRate = 0;
    std::uint8_t m_byParity = 0;
    std::uint8_t m_byDataBits = 0;
    std::uint8_t m_byStopBits = 0;

    // Closes whatever link is open and joins its reader thread. Runs when the
    // window closes and again on destruction, so it must tolerate a second call.
    void ShutdownLinks();

    // --- shell -------------------------------------------------------------
    // (id & 0xFFF0) == 0x0010 opens the About box; SC_CLOSE closes the window.
    void OnSysCommand(unsigned id);
    static constexpr unsigned kIdmAboutBox = 0x0010;
    static constexpr unsigned kScClose = 0xF060;
    // The window menu of the free area (right click): separator, About item.
    QMenu* CreateSystemMenu(QWidget* parent);
    // What a right click opens: the "All settings" toggle above the window menu.
    QMenu* CreateContextMenu(QWidget* parent);

    // --- full view --------------------------------------------------------
    // The full view shows every control the standard view keeps hidden, each
    // panel in a place of its own, in a wider window (kFullViewPlaces). A
    // control that no rule has enabled or disabled yet starts enabled there,
    // as the standard view's own controls do; the others keep what their
    // rules made of them, and the rules go on as ever. The module version
    // list shows the generation the read-back chain reads for.
    void SetFullView(bool on);
    bool IsFullView() const { return m_fullView; }

signals:
    // The user turned the full view on or off through the window menu.
    void FullViewChosen(bool on);

public:

    // --- mode switching and enable rules ----------------------------------
    void OnBnClickedSerial();
    void OnBnClickedUsb();
    void OnCbnSelchangeVersion();
    void OnCbnSelchangePairing();
    void OnBnClickedCheckPinKey();   // 1017
    void OnBnClickedCheckBDN();      // 1018
    void OnBnClickedCheckLevel();    // 1023
    void OnBnClickedCheckPairing();  // 1028
    void OnBnClickedAddNumeric();    // 1043
    void OnBnClickedClear();         // 1001
    // Check boxes that a pairing-mode reply ('1', '2' or '3') enables or disables.
    void ApplyPairingReplyRule(char mode);
    // Keyboard filter: true when the event must not reach its receiver.
    bool PreTranslateMessage(QObject* receiver, QEvent* event);
    // The characters that may be typed into any field.
    static bool IsAllowedTypedChar(char16_t c);

    // --- bound members (code page 949 bytes) --------------------------------
    std::string m_Status;
    std::string m_PortText;
    std::string m_BaudText;
    std::string m_DataBitsText;
    std::string m_StopBitText;
    std::string m_CurrentBDA;
    std::string m_CurrentPinKey;
    std::string m_SetPinKey;
    std::string m_CurrentBDN;
    std::string m_SetBDN;
    std::string m_CurrentPairingMode;
    std::string m_CurrentLevel;

private:
    vendrill::CSession m_session{*this};

public:
    // The conversation with the module: what is connected, outstanding and
    // queued, and the module generation of the chain.
    const vendrill::CSession& Session() const { return m_session; }
    vendrill::CSession& Session() { return m_session; }

    // Mirror of radio button 1030, written on the UI thread whenever the radio
    // state changes.
    std::atomic<bool> m_usbSelected{false};

    QIcon m_hIcon;  // made by AppIcon() once the window has painted

    // The receive log keeps its newest lines only, so a module that floods
    // the line cannot grow it without bound.
    static constexpr int kLogMaxLines = 2000;

    // Stands in for the reader threads' WM_USER+1 notification.
    static constexpr QEvent::Type kCommEvent = QEvent::Type(QEvent::User + 1);
    // A reader thread's message box, shown by the user-interface thread.
    static constexpr QEvent::Type kThreadBoxEvent = QEvent::Type(QEvent::User + 2);
    // The USB reader gave up after a failed read; the link goes down.
    static constexpr QEvent::Type kUsbLostEvent = QEvent::Type(QEvent::User + 3);
    // The serial line hung up under its watcher.
    static constexpr QEvent::Type kLineHungUpEvent = QEvent::Type(QEvent::User + 4);

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    const QIcon& AppIcon();
    void done(int result) override;

private:
    void CreateControls();
    // Gives every control its place in the view shown.
    void PlaceControls();
    void ConnectHandlers();
    bool OnInitDialog();
    void ApplySerialView(bool serial);
    void ShowAboutBox();
    vendrill::EditLimit* LimitOf(int id) const;
    bool InDialogWindow(QObject* o) const;
    static bool IsDigitsOnly(const QObject* o);
    // Set on edits that take digits only.
    static constexpr const char* kDigitsOnlyProperty = "vendrillDigitsOnly";

    std::unordered_map<int, QWidget*> m_items;
    std::vector<QWidget*> m_controls;  // in table order
    bool m_fullView = false;
    bool m_fullViewShown = false;  // the full view has been shown once
    std::set<int> m_ruled;         // controls a rule has enabled or disabled
    QTimer m_timer1;
    bool m_iconPending = false;  // the window icon is set once painted

    // link state
    struct PendingThreadBox {
        std::string text;
        bool dismissed = false;  // guarded by m_threadBoxMutex
    };
    class ThreadBoxEvent : public QEvent {
    public:
        explicit ThreadBoxEvent(std::shared_ptr<PendingThreadBox> b) : QEvent(kThreadBoxEvent), box(std::move(b)) {}
        std::shared_ptr<PendingThreadBox> box;
    };
    // A reader's notification, stamped with the link it belongs to.
    class CommEvent : public QEvent {
    public:
        explicit CommEvent(unsigned l) : QEvent(kCommEvent), link(l) {}
        unsigned link;
    };
    class UsbLostEvent : public QEvent {
    public:
        explicit UsbLostEvent(unsigned g) : QEvent(kUsbLostEvent), generation(g) {}
        unsigned generation;
    };
    // Stamped with the serial link it happened on (m_serialStamp).
    class LineHungUpEvent : public QEvent {
    public:
        explicit LineHungUpEvent(unsigned s) : QEvent(kLineHungUpEvent), stamp(s) {}
        unsigned stamp;
    };

    static vendrill::CSession::TimePoint Now() { return vendrill::CSession::Clock::now(); }
    // A request without argument: a Get, or the sniff status.
    void Ask(char command);
    // A Set request with what the user gave for it: the fields are gathered
    // only once the session lets the request through.
    vendrill::CSession::Sent AskSet(char command, const std::function<vendrill::CSession::Argument()>& given);
    void AppendLogLine(const std::string& line);
    bool IsCurrentLinkEvent(const QEvent* e) const;
    void OnUsbLost(unsigned generation);
    void OnLineHungUp(unsigned stamp);
    void ShowThreadBox(const std::shared_ptr<PendingThreadBox>& box);

    // What the session tells the dialog (SessionEvents.cpp).
    void Arrived(unsigned link) override;
    bool QueueFull(unsigned link) override;
    void ReaderMessage(const std::string& text) override;
    void UsbGone(unsigned generation) override;
    void LineHungUp() override;
    void CancelReaderWaits() override;
    void AllowReaderWaits() override;
    void ReplyDeadline(std::optional<vendrill::CSession::TimePoint> deadline) override;
    void Received(const std::uint8_t* bytes, std::size_t n) override;
    void Requesting(char command) override;
    void BeforeDecode() override;
    void AfterDecode() override;
    void RequestOver(const vendrill::CSession::Outcome& outcome) override;
    void Replied(const vendrill::CSession::Reply& reply) override;

    std::atomic<unsigned> m_postedEvents{0};  // released by PostFromReader, acquired per event
    // The device behind the link last opened, for the reason it went away.
    std::string m_serialPath;
    std::string m_usbNode;
    std::atomic<unsigned> m_serialStamp{0};  // one more with every serial open, before its watcher starts
    std::mutex m_threadBoxMutex;
    std::condition_variable m_threadBoxCv;
    bool m_cancelThreadBoxes = false;     // guarded by m_threadBoxMutex
    std::set<std::string> m_openBoxTexts;  // texts of the message boxes open now: one box per text
    static inline std::atomic<CVendrillDlg*> s_MainWindow{nullptr};  // the first dialog made
};

// Finds the index-th accepted USB printer interface and opens it; reports
// through the application's main window. The descriptor, or -1; the node
// found goes to *node when given.
int GetDeviceViaInterface(int index, std::string* node = nullptr);
