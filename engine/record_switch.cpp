#include "engine/record_switch.h"

#include <chrono>
#include <thread>

namespace {

// A change that finds a call under way looks again this often: the call is a
// record's copy, or a batch's write that the output's own grace bounds.
constexpr auto CALL_RECHECK = std::chrono::microseconds(200);

} // namespace

CRecordSwitch::CRecordSwitch(IPcapRecordSink* pTarget) : m_pTarget(pTarget), m_bInCall(false), m_pPending(nullptr) {}

void CRecordSwitch::SetTarget(IPcapRecordSink* pTarget)
{
    std::lock_guard<std::mutex> lock(m_mtxChange);
    IPcapRecordSink* const pOld = m_pTarget.exchange(pTarget, std::memory_order_seq_cst);
    if (pOld == pTarget)
        return;
    while (m_bInCall.load(std::memory_order_seq_cst))
        std::this_thread::sleep_for(CALL_RECHECK);
    // No call reaches pOld any more; what it still holds goes out now (a
    // flush with nothing added is nothing).
    if (pOld != nullptr)
        pOld->FlushRecords();
}

IPcapRecordSink* CRecordSwitch::GetTarget() const
{
    return m_pTarget.load(std::memory_order_acquire);
}

IPcapRecordSink* CRecordSwitch::EnterCall()
{
    m_bInCall.store(true, std::memory_order_seq_cst);
    return m_pTarget.load(std::memory_order_seq_cst);
}

void CRecordSwitch::LeaveCall()
{
    m_bInCall.store(false, std::memory_order_release);
}

void CRecordSwitch::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    IPcapRecordSink* const pTarget = EnterCall();
    if (pTarget != nullptr) {
        pTarget->AddRecord(pData, nLen, tm);
        m_pPending = pTarget;
    }
    LeaveCall();
}

void CRecordSwitch::FlushRecords()
{
    IPcapRecordSink* const pTarget = EnterCall();
    // Records added for a target switched away since were flushed by the change.
    if (pTarget != nullptr && pTarget == m_pPending)
        pTarget->FlushRecords();
    m_pPending = nullptr;
    LeaveCall();
}
