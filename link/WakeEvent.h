#pragma once

namespace vendrill {

// A signal that one thread raises to end another thread's wait at once. It is
// an eventfd made once for the object's whole life, so raising it never races
// with its creation or release, and it stays raised until Reset(): a Raise()
// that comes before the wait is not lost.
class CWakeEvent {
public:
    CWakeEvent();
    ~CWakeEvent();
    CWakeEvent(const CWakeEvent&) = delete;
    CWakeEvent& operator=(const CWakeEvent&) = delete;

    bool IsValid() const { return m_fd >= 0; }
    int CreationError() const { return m_error; }  // errno when the eventfd could not be made
    int Fd() const { return m_fd; }                // to poll beside a device's descriptor

    void Raise();  // from any thread
    void Reset();
    // Sleeps up to timeoutMs (for ever when negative) unless the event is or
    // becomes raised; true when it is raised. Without an eventfd nothing could
    // raise it: a bounded pause is slept out and false returned.
    bool Wait(int timeoutMs) const;

private:
    int m_fd = -1;
    int m_error = 0;
};

}  // namespace vendrill
