#include "tools/dongle_sim/sim_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/dongle_sim/sim_frame.h"

std::string FormatSimSummary(const CSimStats& s, int32_t nChannel)
{
    char sz[512];
    std::snprintf(sz, sizeof sz,
                  "summary commands=%llu set_channel=%llu start=%llu stop=%llu unknown=%llu bad=%llu "
                  "skipped_rx=%llu acks=%llu acks_dropped=%llu frames=%llu frame_bytes=%llu "
                  "payload_bytes=%llu garbage_bytes=%llu bytes=%llu channel=%d",
                  static_cast<unsigned long long>(s.m_qwCommands), static_cast<unsigned long long>(s.m_qwSetChannel),
                  static_cast<unsigned long long>(s.m_qwStart), static_cast<unsigned long long>(s.m_qwStop),
                  static_cast<unsigned long long>(s.m_qwUnknown), static_cast<unsigned long long>(s.m_qwBadFrames),
                  static_cast<unsigned long long>(s.m_qwSkippedRx), static_cast<unsigned long long>(s.m_qwAcks),
                  static_cast<unsigned long long>(s.m_qwAcksDropped), static_cast<unsigned long long>(s.m_qwFrames),
                  static_cast<unsigned long long>(s.m_qwFrameBytes),
                  static_cast<unsigned long long>(s.m_qwPayloadBytes),
                  static_cast<unsigned long long>(s.m_qwGarbageBytes), static_cast<unsigned long long>(s.m_qwBytes),
                  nChannel);
    return sz;
}

CSimEngine::CSimEngine(const CSimOptions& opts, ISimPayloadSource& source, ISimEvents& events, uint64_t qwStartUs)
    : m_opts(opts),
      m_source(source),
      m_events(events),
      m_rng(opts.m_dwSeed ^ 0x5A5A5A5Au),
      m_qwStartUs(qwStartUs),
      m_dNextFrameUs(static_cast<double>(qwStartUs)),
      m_nFramesQueued(0),
      m_nBurstLeft(0),
      m_nChannel(SIM_INITIAL_CHANNEL),
      m_wCounter(0),
      m_byLastQueued(0),
      m_bStreaming(false),
      m_bEverStarted(false),
      m_bHostPresent(true),
      m_bFrameQueued(false),
      m_bLimitLogged(false)
{
}

void CSimEngine::OnReceived(const uint8_t* pData, int32_t nLen, uint64_t qwNowUs)
{
    m_vecParsed.clear();
    m_parser.Feed(pData, nLen, m_vecParsed);
    m_stats.m_qwSkippedRx = m_parser.GetSkippedBytes();
    for (const CSimParsed& parsed : m_vecParsed) {
        char szBytes[64];
        FormatSimBytes(parsed.m_byFrame, RF_CMD_LEN, szBytes, sizeof szBytes);
        if (parsed.m_nResult == SIM_PARSE_COMMAND) {
            OnCommand(parsed.m_byFrame, qwNowUs);
            continue;
        }
        ++m_stats.m_qwBadFrames;
        m_events.Log(std::string(parsed.m_nResult == SIM_PARSE_BAD_CHECKSUM ? "bad checksum" : "bad last byte") +
                     ", not acknowledged: " + szBytes);
    }
}

void CSimEngine::OnCommand(const uint8_t* pFrame, uint64_t qwNowUs)
{
    ++m_stats.m_qwCommands;
    char szWhat[64];
    char szBytes[64];
    DescribeSimCommand(pFrame, szWhat, sizeof szWhat);
    FormatSimBytes(pFrame, RF_CMD_LEN, szBytes, sizeof szBytes);
    m_events.Log(std::string("cmd ") + szWhat + " (" + szBytes + ")");

    const uint8_t byCmd = pFrame[3];
    const uint8_t byParam = pFrame[4];
    bool bStop = false;
    if (byCmd == SIM_CMD_SET_CHANNEL) {
        ++m_stats.m_qwSetChannel;
        OnSetChannel(byParam, qwNowUs);
    } else if (byCmd == SIM_CMD_SNIFF && byParam == 1) {
        ++m_stats.m_qwStart;
        if (!m_bStreaming) {
            m_bStreaming = true;
            m_bEverStarted = true;
            m_nBurstLeft = m_opts.m_nBurst;
            m_dNextFrameUs = static_cast<double>(qwNowUs);
            m_events.Log("sniffing on channel " + std::to_string(m_nChannel) +
                         (HasNetworks() ? ": " + DescribeSimChannel(m_opts.m_vecNetworks, m_nChannel) : ""));
        }
    } else if (byCmd == SIM_CMD_SNIFF && byParam == 0) {
        ++m_stats.m_qwStop;
        bStop = true;
        if (m_bStreaming) {
            m_bStreaming = false;
            m_events.Log("sniffing stopped, " + std::to_string(m_stats.m_qwFrames) + " frames sent so far");
        }
    } else {
        ++m_stats.m_qwUnknown;
    }

    if (m_opts.m_bNoAck || (bStop && m_opts.m_bNoStopAck))
        return;
    CPendingAck ack;
    ack.m_qwDueUs = qwNowUs + static_cast<uint64_t>(m_opts.m_nAckDelayMs) * 1000u;
    BuildSimAckFrame(pFrame, ack.m_byFrame);
    m_quePendingAcks.push_back(ack);
}

void CSimEngine::OnSetChannel(uint8_t byChannel, uint64_t qwNowUs)
{
    const bool bRetuned = m_nChannel != byChannel;
    m_nChannel = byChannel;
    if (byChannel < SIM_FIRST_CHANNEL || byChannel > SIM_LAST_CHANNEL)
        m_events.Log("channel " + std::to_string(byChannel) + " is not a 2.4 GHz channel (11..26); used as given");
    if (!HasNetworks())
        return;
    m_events.Log("channel " + std::to_string(byChannel) + ": " + DescribeSimChannel(m_opts.m_vecNetworks, byChannel));
    if (!bRetuned)
        return;
    // Retuned: what the radio heard before is not sent after the answer, and
    // the new channel's traffic is heard from now on.
    DropUnstartedFrame();
    m_dNextFrameUs = static_cast<double>(qwNowUs);
}

void CSimEngine::DropUnstartedFrame()
{
    // A frame already on the line is finished whole. Every block ends with the
    // same end byte, so m_byLastQueued stays true for the stray bytes.
    for (auto it = m_queOut.begin(); it != m_queOut.end(); ++it) {
        if (it->m_nKind == CHUNK_FRAME && it->m_nDone == 0) {
            m_queOut.erase(it);
            --m_nFramesQueued;
            m_bFrameQueued = false;
            return;
        }
    }
}

void CSimEngine::OnHostOpened(uint64_t qwNowUs)
{
    if (m_bHostPresent)
        return;
    m_bHostPresent = true;
    m_events.Log("host opened the port");
    m_dNextFrameUs = static_cast<double>(qwNowUs);
}

void CSimEngine::OnHostClosed()
{
    m_events.Log(m_bHostPresent ? "host closed the port" : "host opened and closed the port");
    m_bHostPresent = false;
    for (const CChunk& chunk : m_queOut) {
        if (chunk.m_nKind == CHUNK_FRAME)
            --m_nFramesQueued;   // never reached anyone: it may still be sent later
        else
            ++m_stats.m_qwAcksDropped;
    }
    m_stats.m_qwAcksDropped += m_quePendingAcks.size();
    m_queOut.clear();
    m_quePendingAcks.clear();
    m_bFrameQueued = false;
}

void CSimEngine::QueueAck(const uint8_t* pAck)
{
    CChunk chunk{std::vector<uint8_t>(pAck, pAck + RF_CMD_LEN), 0, CHUNK_ACK, 0, 0, SIM_PAN_UNKNOWN};
    // An answer goes out as soon as the block on the line is finished, ahead of
    // frames that have not started yet.
    auto it = m_queOut.begin();
    if (it != m_queOut.end() && it->m_nDone > 0)
        ++it;
    m_queOut.insert(it, std::move(chunk));
}

bool CSimEngine::FrameBudgetLeft() const
{
    if (m_opts.m_nFrames >= 0 && m_nFramesQueued >= m_opts.m_nFrames)
        return false;
    if (m_opts.m_nHangupAfter >= 0 && m_nFramesQueued >= m_opts.m_nHangupAfter)
        return false;
    return true;
}

bool CSimEngine::MayQueueFrame() const
{
    return m_bStreaming && m_bHostPresent && !m_bFrameQueued && FrameBudgetLeft() &&
        m_source.NetworksOn(m_nChannel) > 0;
}

void CSimEngine::Tick(uint64_t qwNowUs)
{
    while (!m_quePendingAcks.empty() && m_quePendingAcks.front().m_qwDueUs <= qwNowUs) {
        if (m_bHostPresent)
            QueueAck(m_quePendingAcks.front().m_byFrame);
        else
            ++m_stats.m_qwAcksDropped;
        m_quePendingAcks.pop_front();
    }
    if (MayQueueFrame() && (m_nBurstLeft > 0 || static_cast<double>(qwNowUs) >= m_dNextFrameUs))
        QueueFrame(qwNowUs);
}

void CSimEngine::QueueFrame(uint64_t qwNowUs)
{
    CSimBytes byMac;
    int32_t nPanId = SIM_PAN_UNKNOWN;
    if (!m_source.NextPayloadOn(m_nChannel, byMac, nPanId)) {
        m_bStreaming = false;
        m_events.Log("no frame to send: sniffing stopped");
        return;
    }
    CChunk chunk{std::vector<uint8_t>(SIM_GARBAGE_MAX + RF_FRAME_MAX_LEN), 0, CHUNK_FRAME, 0, m_nChannel, nPanId};
    if (m_opts.m_bGarbage && (m_rng.Next() & 1u) != 0)
        chunk.m_nGarbage = BuildSimGarbage(m_rng, m_byLastQueued, chunk.m_by.data());

    CSimFrameMeta meta;
    meta.m_byChannel = static_cast<uint8_t>(m_nChannel);
    meta.m_wCounter = m_wCounter++;
    meta.m_dwTimeUs = static_cast<uint32_t>(qwNowUs - m_qwStartUs);
    meta.m_nRssi = static_cast<int8_t>(m_rng.Range(-88, -38));
    meta.m_byLqi = static_cast<uint8_t>((meta.m_nRssi + 90) * 255 / 52);
    const int32_t nTotal = BuildSimDataFrame(byMac.data(), static_cast<int32_t>(byMac.size()), meta,
                                             chunk.m_by.data() + chunk.m_nGarbage);
    if (nTotal < 0) {
        m_events.Log("frame of " + std::to_string(byMac.size()) + " bytes does not fit a data frame: skipped");
        return;
    }
    chunk.m_by.resize(static_cast<size_t>(chunk.m_nGarbage + nTotal));
    m_byLastQueued = chunk.m_by.back();
    m_queOut.push_back(std::move(chunk));
    m_bFrameQueued = true;
    ++m_nFramesQueued;

    // The rate is each network's: the networks on a channel take turns.
    const double dRate = m_opts.m_dRate * std::max(1, m_source.NetworksOn(m_nChannel));
    const double dPeriodUs = m_opts.m_bLineRate
        ? static_cast<double>(m_queOut.back().m_by.size()) * SIM_LINE_US_PER_BYTE
        : 1000000.0 / dRate;
    if (m_nBurstLeft > 0) {
        // Paced frames follow a burst one period after its last frame.
        if (--m_nBurstLeft == 0)
            m_dNextFrameUs = static_cast<double>(qwNowUs) + dPeriodUs;
        return;
    }
    double dBase = m_dNextFrameUs;
    if (dBase + static_cast<double>(SIM_CATCH_UP_LIMIT_US) < static_cast<double>(qwNowUs))
        dBase = static_cast<double>(qwNowUs);
    m_dNextFrameUs = dBase + dPeriodUs;
}

const uint8_t* CSimEngine::GetOutput(int32_t& nLen) const
{
    if (m_queOut.empty()) {
        nLen = 0;
        return nullptr;
    }
    const CChunk& head = m_queOut.front();
    nLen = static_cast<int32_t>(head.m_by.size()) - head.m_nDone;
    return head.m_by.data() + head.m_nDone;
}

void CSimEngine::OnWritten(int32_t nBytes)
{
    m_stats.m_qwBytes += static_cast<uint64_t>(nBytes);
    while (nBytes > 0 && !m_queOut.empty()) {
        CChunk& head = m_queOut.front();
        const int32_t nTake = std::min(nBytes, static_cast<int32_t>(head.m_by.size()) - head.m_nDone);
        head.m_nDone += nTake;
        nBytes -= nTake;
        if (head.m_nDone < static_cast<int32_t>(head.m_by.size()))
            break;
        CompleteChunk(head);
        m_queOut.pop_front();
    }
}

void CSimEngine::CompleteChunk(const CChunk& chunk)
{
    if (chunk.m_nKind == CHUNK_ACK) {
        ++m_stats.m_qwAcks;
        return;
    }
    m_bFrameQueued = false;
    const int32_t nTotal = static_cast<int32_t>(chunk.m_by.size()) - chunk.m_nGarbage;
    ++m_stats.m_qwFrames;
    m_stats.m_qwFrameBytes += static_cast<uint64_t>(nTotal);
    m_stats.m_qwPayloadBytes += static_cast<uint64_t>(nTotal - RF_PAYLOAD_OVERHEAD);
    m_stats.m_qwGarbageBytes += static_cast<uint64_t>(chunk.m_nGarbage);
    m_events.FrameSentOn(chunk.m_nChannel, chunk.m_nPanId, chunk.m_by.data() + chunk.m_nGarbage + RF_PAYLOAD_OFFSET,
                         nTotal - RF_PAYLOAD_OVERHEAD);
    if (m_opts.m_nFrames >= 0 && static_cast<int64_t>(m_stats.m_qwFrames) >= m_opts.m_nFrames && !m_bLimitLogged) {
        m_bLimitLogged = true;
        m_events.Log("frame limit of " + std::to_string(m_opts.m_nFrames) + " reached");
    }
}

uint64_t CSimEngine::GetNextWakeUs() const
{
    uint64_t qwWake = SIM_NEVER;
    if (!m_quePendingAcks.empty())
        qwWake = m_quePendingAcks.front().m_qwDueUs;
    if (MayQueueFrame()) {
        const uint64_t qwFrame = m_nBurstLeft > 0 ? 0 : static_cast<uint64_t>(std::ceil(m_dNextFrameUs));
        qwWake = std::min(qwWake, qwFrame);
    }
    return qwWake;
}

bool CSimEngine::WantsHangup() const
{
    return m_opts.m_nHangupAfter >= 0 && m_bEverStarted &&
        static_cast<int64_t>(m_stats.m_qwFrames) >= m_opts.m_nHangupAfter;
}
