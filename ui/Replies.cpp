// Replies from the module and the reply timer: the dialog's operations hand
// them to the session, which decodes, ends requests and drives the chain
// (what the window shows of it: SessionEvents.cpp).
#include "ui/VendrillDlg.h"

long CVendrillDlg::OnCommunication()
{
    if (m_session.OnCommunication(Now()) < 0)
        return -1;
    TakeTypedText();
    UpdateData(false);
    return 1;
}

int CVendrillDlg::BT_RECEIVE_MSG(const std::string& reply)
{
    return m_session.BT_RECEIVE_MSG(reply, Now());
}

void CVendrillDlg::OnTimer(int id)
{
    if (id == 1)
        m_session.Expire(Now());
}
