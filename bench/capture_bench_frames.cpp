#include "bench/capture_bench_frames.h"

#include <algorithm>
#include <chrono>

#include "link/frame_protocol.h"

namespace {

constexpr uint8_t BENCH_CHANNEL = 15;
constexpr uint8_t BENCH_RSSI = 0xC8;
constexpr uint8_t BENCH_LQI = 0x60;
constexpr uint8_t BENCH_STATUS = 0x80;
constexpr uint8_t BENCH_FRAME_END = 0x04;

uint8_t PatternByte(uint32_t dwSeq, int32_t i)
{
    return static_cast<uint8_t>(dwSeq * 131u + static_cast<uint32_t>(i) * 29u + 7u);
}

void PutLe(uint8_t* p, uint64_t qwValue, int32_t nBytes)
{
    for (int32_t i = 0; i < nBytes; ++i)
        p[i] = static_cast<uint8_t>(qwValue >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, int32_t nBytes)
{
    uint64_t qw = 0;
    for (int32_t i = 0; i < nBytes; ++i)
        qw |= static_cast<uint64_t>(p[i]) << (8 * i);
    return qw;
}

double Percentile(std::vector<int64_t>& vecNs, double dFraction)
{
    if (vecNs.empty())
        return -1;
    const size_t nAt = std::min(vecNs.size() - 1, static_cast<size_t>(dFraction * static_cast<double>(vecNs.size())));
    std::nth_element(vecNs.begin(), vecNs.begin() + static_cast<std::ptrdiff_t>(nAt), vecNs.end());
    return static_cast<double>(vecNs[nAt]) / 1e6;
}

} // namespace

int64_t BenchNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t BenchWallOffsetNs()
{
    const int64_t nBefore = BenchNowNs();
    const int64_t nWall = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    return nWall - (nBefore + BenchNowNs()) / 2;
}

int32_t BenchPayloadLength(uint32_t dwSeq)
{
    constexpr uint32_t SPREAD = BENCH_PAYLOAD_MAX - BENCH_PAYLOAD_MIN + 1;
    return BENCH_PAYLOAD_MIN + static_cast<int32_t>((dwSeq * 37u) % SPREAD);
}

int32_t BenchFrameLength(uint32_t dwSeq)
{
    return BenchPayloadLength(dwSeq) + RF_PAYLOAD_OVERHEAD;
}

size_t BenchAppendFrame(std::vector<uint8_t>& vecOut, uint32_t dwSeq, int64_t nSendNs)
{
    const int32_t nPayload = BenchPayloadLength(dwSeq);
    const int32_t nTotal = nPayload + RF_PAYLOAD_OVERHEAD;
    const size_t nAt = vecOut.size();
    vecOut.resize(nAt + static_cast<size_t>(nTotal));
    uint8_t* p = vecOut.data() + nAt;
    p[0] = RF_SYNC0;
    p[1] = RF_SYNC1;
    p[2] = static_cast<uint8_t>(nTotal - RF_HEADER_LEN);
    p[3] = BENCH_CHANNEL;
    PutLe(p + 4, dwSeq, 2);        // the dongle's frame counter
    PutLe(p + 6, dwSeq * 977u, 4); // its microsecond clock
    uint8_t* pPayload = p + RF_PAYLOAD_OFFSET;
    PutLe(pPayload, dwSeq, 4);
    PutLe(pPayload + 4, static_cast<uint64_t>(nSendNs), 8);
    for (int32_t i = BENCH_PAYLOAD_STAMP_LEN; i < nPayload; ++i)
        pPayload[i] = PatternByte(dwSeq, i);
    uint8_t* pTail = pPayload + nPayload;
    PutLe(pTail, 0x3412u ^ dwSeq, 2);   // FCS
    pTail[2] = BENCH_RSSI;
    pTail[3] = BENCH_LQI;
    pTail[4] = BENCH_STATUS;
    pTail[5] = static_cast<uint8_t>(dwSeq);
    pTail[6] = BENCH_FRAME_END;
    return nAt + RF_PAYLOAD_OFFSET + 4;
}

void BenchSetSendTime(std::vector<uint8_t>& vecOut, size_t nStampOffset, int64_t nSendNs)
{
    PutLe(vecOut.data() + nStampOffset, static_cast<uint64_t>(nSendNs), 8);
}

bool BenchCheckPayload(const uint8_t* pData, int32_t nLen, uint32_t* pdwSeq, int64_t* pnSendNs)
{
    if (nLen < BENCH_PAYLOAD_MIN || nLen > BENCH_PAYLOAD_MAX)
        return false;
    const uint32_t dwSeq = static_cast<uint32_t>(GetLe(pData, 4));
    if (BenchPayloadLength(dwSeq) != nLen)
        return false;
    for (int32_t i = BENCH_PAYLOAD_STAMP_LEN; i < nLen; ++i) {
        if (pData[i] != PatternByte(dwSeq, i))
            return false;
    }
    *pdwSeq = dwSeq;
    *pnSendNs = static_cast<int64_t>(GetLe(pData + 4, 8));
    return true;
}

CRangeFigures BenchRangeFigures(const CReaderResult& result, uint32_t dwFirstSeq, uint32_t dwFrames)
{
    CRangeFigures fig;
    std::vector<uint8_t> vecSeen(dwFrames, 0);
    std::vector<int64_t> vecLatency;
    std::vector<int64_t> vecStamp;
    vecLatency.reserve(result.m_vecEntries.size());
    vecStamp.reserve(result.m_vecEntries.size());
    int64_t nLastRead = -1;   // the records of one read share its arrival time
    for (const CReaderEntry& entry : result.m_vecEntries) {
        const uint32_t dwIndex = entry.m_dwSeq - dwFirstSeq;
        if (entry.m_dwSeq == BENCH_SEQ_INVALID || dwIndex >= dwFrames) {
            ++fig.m_dwBad;
            continue;
        }
        if (vecSeen[dwIndex] != 0) {
            ++fig.m_dwDuplicates;
            continue;
        }
        vecSeen[dwIndex] = 1;
        ++fig.m_dwReceived;
        fig.m_dwReads += entry.m_nArrivalNs != nLastRead;
        nLastRead = entry.m_nArrivalNs;
        fig.m_nLastArrivalNs = std::max(fig.m_nLastArrivalNs, entry.m_nArrivalNs);
        vecLatency.push_back(entry.m_nArrivalNs - entry.m_nSendNs);
        vecStamp.push_back(entry.m_nStampNs - entry.m_nSendNs);
    }
    if (!vecStamp.empty()) {
        fig.m_bStamps = true;
        fig.m_dStampMinUs = static_cast<double>(*std::min_element(vecStamp.begin(), vecStamp.end())) / 1e3;
        fig.m_dStampMaxUs = static_cast<double>(*std::max_element(vecStamp.begin(), vecStamp.end())) / 1e3;
        fig.m_dStampP50Us = Percentile(vecStamp, 0.50) * 1e3;
        fig.m_dStampP99Us = Percentile(vecStamp, 0.99) * 1e3;
    }
    fig.m_dwLost = dwFrames - fig.m_dwReceived;
    fig.m_dP50Ms = Percentile(vecLatency, 0.50);
    fig.m_dP99Ms = Percentile(vecLatency, 0.99);
    fig.m_dMaxMs = vecLatency.empty() ? -1 : static_cast<double>(*std::max_element(vecLatency.begin(), vecLatency.end())) / 1e6;
    return fig;
}
