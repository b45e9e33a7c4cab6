#include "shell/extcap/extcap_control_msg.h"

namespace {

constexpr uint32_t LENGTH_BYTE_SHIFTS[] = { 16, 8, 0 };

// Where a UTF-8 text may be cut at or before nAt without splitting a character.
size_t Utf8CutAt(const std::string& str, size_t nAt)
{
    while (nAt > 0 && nAt < str.size() && (static_cast<uint8_t>(str[nAt]) & 0xC0) == 0x80)
        --nAt;
    return nAt;
}

} // namespace

std::string EncodeControlMsg(const CControlMsg& msg)
{
    const size_t nPayload = msg.m_strPayload.size() > CONTROL_PAYLOAD_MAX
        ? Utf8CutAt(msg.m_strPayload, CONTROL_PAYLOAD_MAX)
        : msg.m_strPayload.size();
    const uint32_t dwLength = static_cast<uint32_t>(CONTROL_LENGTH_MIN + nPayload);
    std::string strOut;
    strOut.reserve(CONTROL_HEADER_BYTES + nPayload);
    strOut.push_back(static_cast<char>(CONTROL_SYNC_BYTE));
    for (uint32_t dwShift : LENGTH_BYTE_SHIFTS)
        strOut.push_back(static_cast<char>((dwLength >> dwShift) & 0xFF));
    strOut.push_back(static_cast<char>(msg.m_byControl));
    strOut.push_back(static_cast<char>(msg.m_eCommand));
    strOut.append(msg.m_strPayload, 0, nPayload);
    return strOut;
}

void CControlMsgDecoder::Feed(const uint8_t* pData, size_t cb)
{
    if (m_bBroken)
        return;
    if (m_nSkipLeft > 0) {
        const size_t nSkip = cb < m_nSkipLeft ? cb : m_nSkipLeft;
        m_nSkipLeft -= nSkip;
        pData += nSkip;
        cb -= nSkip;
    }
    m_strPending.append(reinterpret_cast<const char*>(pData), cb);
}

// Bytes 1..3 of a header: the length of what follows them.
uint32_t CControlMsgDecoder::LengthAtFront() const
{
    uint32_t dwLength = 0;
    for (size_t n = 1; n <= 3; ++n)
        dwLength = (dwLength << 8) | static_cast<uint8_t>(m_strPending[n]);
    return dwLength;
}

// A message too long for us, nWhole bytes with its header, is dropped as it
// comes: what is here now, and the rest in the Feeds to come.
void CControlMsgDecoder::PassOver(size_t nWhole)
{
    ++m_dwSkipped;
    if (m_strPending.size() >= nWhole) {
        m_strPending.erase(0, nWhole);
        return;
    }
    m_nSkipLeft = nWhole - m_strPending.size();
    m_strPending.clear();
}

bool CControlMsgDecoder::Next(CControlMsg& msg)
{
    for (;;) {
        if (m_bBroken || m_nSkipLeft > 0 || m_strPending.size() < CONTROL_HEADER_BYTES)
            return false;
        const uint32_t dwLength = LengthAtFront();
        if (static_cast<uint8_t>(m_strPending[0]) != CONTROL_SYNC_BYTE || dwLength < CONTROL_LENGTH_MIN) {
            m_bBroken = true;
            m_strPending.clear();
            return false;
        }
        const size_t nPayload = dwLength - CONTROL_LENGTH_MIN;
        const size_t nWhole = CONTROL_HEADER_BYTES + nPayload;
        if (nPayload > CONTROL_PAYLOAD_MAX) {
            PassOver(nWhole);
            continue;
        }
        if (m_strPending.size() < nWhole)
            return false;
        msg.m_byControl = static_cast<uint8_t>(m_strPending[4]);
        msg.m_eCommand = static_cast<EControlCommand>(static_cast<uint8_t>(m_strPending[5]));
        msg.m_strPayload.assign(m_strPending, CONTROL_HEADER_BYTES, nPayload);
        m_strPending.erase(0, nWhole);
        return true;
    }
}
