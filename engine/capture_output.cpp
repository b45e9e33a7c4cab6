#include "engine/capture_output.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <utility>

#include "engine/capture_texts.h"

CCaptureOutput::~CCaptureOutput()
{
    EndGrace();
}

bool CCaptureOutput::Open(const std::string& strPath, EPcapFileOpen eHow)
{
    EndGrace();
    {
        std::lock_guard<std::mutex> lock(m_mtxGrace);
        m_bGraceEnded = false;
    }
    m_strPath = strPath;
    m_strName = DescribeOutputName(strPath, eHow);
    m_eHow = eHow;
    m_qwTaken = 0;
    m_qwMax = 0;
    m_fnReached = nullptr;
    m_qwRecordsAtOpen = m_file.GetStats().m_qwRecordsWritten;
    const bool bOpened = m_file.Open(strPath, eHow);
    // A file we made or replaced is ours: with no record in it, it may go.
    m_bCreated = bOpened && IsNamedFile();
    return bOpened;
}

void CCaptureOutput::SetLimit(uint64_t qwMax, std::function<void()> fnReached)
{
    m_qwMax = qwMax;
    m_qwTaken = 0;
    m_fnReached = std::move(fnReached);
}

void CCaptureOutput::AddRecord(const uint8_t* pData, int32_t nLen, CPcapTime tm)
{
    if (m_qwMax != 0 && m_qwTaken >= m_qwMax)
        return;   // past the limit: the capture is ending
    m_file.AddRecord(pData, nLen, tm);
    if (++m_qwTaken == m_qwMax && m_fnReached)
        m_fnReached();
}

void CCaptureOutput::FlushRecords()
{
    m_file.FlushRecords();
}

void CCaptureOutput::BeginEnd(uint32_t dwGraceMs)
{
    std::lock_guard<std::mutex> lock(m_mtxGrace);
    if (m_bGraceEnded || m_thrGrace.joinable() || !m_file.IsOpen())
        return;
    m_thrGrace = std::thread([this, dwGraceMs] {
        std::unique_lock<std::mutex> lockWait(m_mtxGrace);
        if (!m_cvGrace.wait_for(lockWait, std::chrono::milliseconds(dwGraceMs), [this] { return m_bGraceEnded; }))
            m_file.Abort();
    });
}

void CCaptureOutput::EndGrace()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxGrace);
        m_bGraceEnded = true;
    }
    m_cvGrace.notify_all();
    if (m_thrGrace.joinable())
        m_thrGrace.join();
}

bool CCaptureOutput::Close()
{
    if (!m_file.IsOpen()) {
        EndGrace();
        return true;
    }
    const bool bClosed = m_file.Close();
    EndGrace();
    return bClosed;
}

bool CCaptureOutput::RemoveIfUnused()
{
    if (!m_bCreated || m_file.IsOpen() || m_file.GetStats().m_qwRecordsWritten != m_qwRecordsAtOpen)
        return false;
    m_bCreated = false;
    return std::remove(m_strPath.c_str()) == 0;
}

bool CCaptureOutput::IsGone() const
{
    std::error_code ec;
    return IsNamedFile() && !std::filesystem::exists(m_strPath, ec) && !ec;
}

bool CCaptureOutput::CheckBroken()
{
    return m_file.CheckReaderGone();
}

CPcapPipeStats AsPipeStats(const CPcapFileStats& stats)
{
    CPcapPipeStats out {};
    out.m_qwRecordsQueued = stats.m_qwRecordsWritten + stats.m_qwRecordsDropped;
    out.m_qwRecordsDelivered = stats.m_qwRecordsWritten;
    out.m_qwBytesDelivered = stats.m_qwBytesWritten;
    // A failed write has its own cause; what else was dropped had no reader.
    out.m_qwDroppedNoReader = stats.m_qwRecordsDropped - std::min(stats.m_qwRecordsDropped, stats.m_qwRecordsWriteFailed);
    return out;
}
