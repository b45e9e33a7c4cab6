#include "shell/extcap/extcap_toolbar.h"

#include "engine/tuning_texts.h"
#include "shell/extcap/extcap_args.h"

CExtcapToolbar::CExtcapToolbar(int32_t nChannel, bool bHopping) : m_nChannel(nChannel), m_bHopping(bHopping)
{
}

CControlMsg CExtcapToolbar::Msg(uint8_t byControl, EControlCommand eCommand, const std::string& strPayload)
{
    CControlMsg msg;
    msg.m_byControl = byControl;
    msg.m_eCommand = eCommand;
    msg.m_strPayload = strPayload;
    return msg;
}

// The selector as it should be: the channel sniffed on, open for a pick only
// when a retune can be asked.
void CExtcapToolbar::AddState(CToolbarActions& actions) const
{
    actions.m_vecSend.push_back(Msg(TOOLBAR_CHANNEL_CONTROL, EControlCommand::Set, std::to_string(m_nChannel)));
    const bool bOpen = m_bSniffing && !m_bHopping && m_nRetuning == 0 && m_nWanted == 0;
    actions.m_vecSend.push_back(
        Msg(TOOLBAR_CHANNEL_CONTROL, bOpen ? EControlCommand::Enable : EControlCommand::Disable));
    if (m_bSniffing)
        actions.m_vecSend.push_back(Msg(0, EControlCommand::StatusbarMessage, DescribeRetuned(m_nChannel)));
}

// A pick waiting for the capture to sniff (or for a retune to end) is asked now.
void CExtcapToolbar::StartWanted(CToolbarActions& actions)
{
    if (m_nWanted == 0 || !m_bSniffing || m_nRetuning != 0)
        return;
    if (m_nWanted != m_nChannel) {
        m_nRetuning = m_nWanted;
        actions.m_nRetuneTo = m_nRetuning;
    }
    m_nWanted = 0;
}

CToolbarActions CExtcapToolbar::OnMessage(const CControlMsg& msg)
{
    CToolbarActions actions;
    if (msg.m_eCommand == EControlCommand::Initialized) {
        AddState(actions);
        return actions;
    }
    int32_t nChannel = 0;
    if (msg.m_byControl != TOOLBAR_CHANNEL_CONTROL || msg.m_eCommand != EControlCommand::Set)
        return actions;
    if (m_bHopping || !ParseExtcapChannel(msg.m_strPayload, nChannel)) {
        AddState(actions);   // the selector back to what is true
        return actions;
    }
    m_nWanted = nChannel;
    StartWanted(actions);
    if (m_nRetuning != 0 || m_nWanted != 0)
        actions.m_vecSend.push_back(Msg(TOOLBAR_CHANNEL_CONTROL, EControlCommand::Disable));
    else
        AddState(actions);   // already there
    return actions;
}

CToolbarActions CExtcapToolbar::OnChannel(int32_t nChannel)
{
    CToolbarActions actions;
    // A report of another channel during a retune (the dongle came back on
    // the old one, which refused the retune): the pick is asked again.
    if (m_nRetuning != 0 && m_nRetuning != nChannel && m_nWanted == 0)
        m_nWanted = m_nRetuning;
    m_nRetuning = 0;
    m_nChannel = nChannel;
    m_bSniffing = true;
    StartWanted(actions);
    AddState(actions);
    return actions;
}

CToolbarActions CExtcapToolbar::OnRetuneRefused()
{
    CToolbarActions actions;
    m_nRetuning = 0;
    m_nWanted = 0;
    m_bSniffing = false;
    AddState(actions);
    return actions;
}

CToolbarActions CExtcapToolbar::OnLine(const std::string& strLine)
{
    CToolbarActions actions;
    if (m_bOutOpen) {
        actions.m_vecSend.push_back(Msg(TOOLBAR_LOG_CONTROL, EControlCommand::Add, strLine + "\n"));
        return actions;
    }
    m_deqBacklog.push_back(strLine);
    if (m_deqBacklog.size() > TOOLBAR_LOG_BACKLOG_MAX)
        m_deqBacklog.pop_front();
    return actions;
}

CToolbarActions CExtcapToolbar::OnFailed(const std::string& strText)
{
    CToolbarActions actions;
    m_bSniffing = false;
    actions.m_vecSend.push_back(Msg(TOOLBAR_CHANNEL_CONTROL, EControlCommand::Disable));
    actions.m_vecSend.push_back(Msg(0, EControlCommand::ErrorMessage, strText));
    return actions;
}

CToolbarActions CExtcapToolbar::OnOutOpened()
{
    CToolbarActions actions;
    m_bOutOpen = true;
    for (const std::string& strLine : m_deqBacklog)
        actions.m_vecSend.push_back(Msg(TOOLBAR_LOG_CONTROL, EControlCommand::Add, strLine + "\n"));
    m_deqBacklog.clear();
    AddState(actions);
    return actions;
}
