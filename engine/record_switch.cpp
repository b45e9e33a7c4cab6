#include "engine/record_switch.h"

CRecordSwitch::CRecordSwitch(IPcapRecordSink* pTarget) : m_pTarget(pTarget), m_bPending(false) {}

void CRecordSwitch::SetTarget(IPcapRecordSink* pTarget)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pTarget == m_pTarget)
        return;
    if (m_pTarget != nullptr && m_bPending)
        m_pTarget->FlushRecords();
    m_bPending = false;
    m_pTarget = pTarget;
}

IPcapRecordSink* CRecordSwitch::GetTarget() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pTarget;
}

void CRecordSwitch::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pTarget == nullptr)
        return;
    m_pTarget->AddRecord(pData, nLen, tm);
    m_bPending = true;
}

void CRecordSwitch::FlushRecords()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pTarget == nullptr || !m_bPending)
        return;
    m_bPending = false;
    m_pTarget->FlushRecords();
}
