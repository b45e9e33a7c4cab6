// The serial port object: construction, Open, Close and the owner's operations.
// The two thread bodies are in uart_threads.cpp.
#include "serial/uart_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr uint32_t OPEN_CLOSE_EVENTS = EV_CTS | EV_DSR | EV_RLSD;   // 0x38: the lines may have changed
constexpr int32_t DEVICE_PATH_SIZE = 4096;
constexpr int32_t DRAIN_POLL_MS = 1;
constexpr uint32_t DRIVER_QUEUE_SIZE = 1200;   // SetupComm's input and output sizes

// Calls a hook if one is set; an exception it throws goes no further.
template <typename PFN, typename... ARGS>
void CallHook(PFN pfnHook, ARGS... args)
{
    if (pfnHook == nullptr)
        return;
    try {
        pfnHook(args...);
    } catch (...) {
    }
}

} // namespace

CUartPort::CUartPort(int32_t nRxRingSize)
    : m_hComm(COMM_INVALID_HANDLE), m_dcb(), m_bOpen(false), m_bDtr(true), m_bRts(true), m_nPort(1),
      m_errLastOpen(), m_pRxBuffer(nullptr), m_pTxBuffer(nullptr), m_pfnCommEvent(nullptr),
      m_pHookContext(nullptr), m_bReaderRun(false),
      m_bReaderAlive(false), m_bWriterRun(false), m_bWriterAlive(false), m_ovRead(), m_ovWrite(),
      m_hReaderStop(0), m_hWriterStop(0), m_hTxReady(0), m_hRxRoom(0), m_bRxWaitRoom(false),
      m_dwModemStatus(0), m_qwWakeAtUs(0), m_qwRxOverflow(0), m_qwRxStored(0), m_qwRxTaken(0), m_qwRxGaps(0),
      m_qwRxGapBytes(0), m_qwRxGapAt(0),
      m_bLineLost(false), m_qwTxAccepted(0), m_qwTxTaken(0),
      m_qwTxFinished(0), m_qwTxPurgeTo(0)
{
    std::memset(&m_dcb, 0, sizeof(m_dcb));
    m_dcb.DCBlength = sizeof(COMM_DCB);
    m_dcb.BaudRate = 1000000;
    m_dcb.fBinary = 1;
    m_dcb.XonLim = 2048;
    m_dcb.XoffLim = 512;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    m_dcb.XonChar = 0x11;
    m_dcb.XoffChar = 0x13;
    m_pRxBuffer = new (std::nothrow) CRingBuffer(nRxRingSize);
    m_pTxBuffer = new (std::nothrow) CRingBuffer(UART_TX_RING_SIZE);
}

CUartPort::~CUartPort()
{
    Close();   // also joins a reader that closed the port from its hook
    delete m_pTxBuffer;
    delete m_pRxBuffer;
}

void CUartPort::SetPort(int32_t nPort)
{
    Close();
    m_nPort = nPort;
    m_strDeviceNode.clear();
}

void CUartPort::SetDevice(const std::string& strDevice)
{
    Close();
    m_strDeviceNode = strDevice;
}

bool CUartPort::SetCommEventHook(PFN_COMM_EVENT pfnHook, void* pContext)
{
    if (m_hReaderThread.joinable() || m_hWriterThread.joinable())
        return false;
    m_pfnCommEvent = pfnHook;
    m_pHookContext = pContext;
    return true;
}

int32_t CUartPort::FailOpen(const COsError& err)
{
    m_errLastOpen = err.IsError() ? err : OsErrorOfKind(EOsError::Other, "the port could not be opened");
    Close();   // m_bOpen is still false: releases what was made, calls no hook
    return 0;
}

int32_t CUartPort::Open()
{
    if (m_bOpen)
        return 1;
    m_errLastOpen = COsError();
    m_strDevicePath.clear();
    if (!JoinThreads())
        return FailOpen(OsErrorOfKind(EOsError::Busy, "the port is being closed by its own reader thread"));
    if (m_pRxBuffer == nullptr || !m_pRxBuffer->HasStorage() || m_pTxBuffer == nullptr || !m_pTxBuffer->HasStorage())
        return FailOpen(OsErrorOfKind(EOsError::NoResources, "no memory for the port's buffers"));
    if (!OpenDevice() || !CreateEvents())
        return FailOpen(OsErrorFromCode(CommGetLastError()));

    // Bytes left in the transmit ring from before count as not yet sent.
    const uint64_t qwPending = static_cast<uint64_t>(m_pTxBuffer->GetCount());
    const uint64_t qwAccepted = m_qwTxAccepted.load(std::memory_order_relaxed);
    m_qwTxTaken.store(qwAccepted - qwPending, std::memory_order_relaxed);
    m_qwTxFinished.store(qwAccepted - qwPending, std::memory_order_relaxed);
    m_qwTxPurgeTo.store(0, std::memory_order_relaxed);
    m_bLineLost.store(false, std::memory_order_release);

    m_qwWakeAtUs.store(0, std::memory_order_relaxed);   // a wake-up asked for by an earlier open is not this one's
    const COsError errThreads = StartThreads();   // the reader raises its own priority as it starts
    if (errThreads.IsError())
        return FailOpen(errThreads);

    m_bOpen = true;
    uint32_t dwStatus = 0;
    if (CommGetModemStatus(m_hComm, &dwStatus) != 0)
        m_dwModemStatus.store(dwStatus, std::memory_order_relaxed);
    m_bDtr = m_dcb.fDtrControl != 0;
    m_bRts = m_dcb.fRtsControl != 0;
    OnCommEvent(OPEN_CLOSE_EVENTS);
    return 1;
}

// The device itself: opened, its mask, queues and line settings. False (the
// comm layer's error set) on the first step that fails.
bool CUartPort::OpenDevice()
{
    char szName[32];
    std::snprintf(szName, sizeof(szName), "\\\\.\\Com%d", static_cast<int>(m_nPort));
    char szDevice[DEVICE_PATH_SIZE];
    m_hComm = CommOpen(m_strDeviceNode.empty() ? szName : m_strDeviceNode.c_str(), szDevice, DEVICE_PATH_SIZE);
    m_strDevicePath = szDevice;
    if (m_hComm == COMM_INVALID_HANDLE)
        return false;
    if (CommSetMask(m_hComm, EV_RXFLAG) == 0 || CommSetupQueues(m_hComm, DRIVER_QUEUE_SIZE, DRIVER_QUEUE_SIZE) == 0)
        return false;
    m_dcb.fDtrControl = m_bDtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    m_dcb.fRtsControl = m_bRts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    const COMM_DCB dcb = m_dcb;
    return CommSetState(m_hComm, &dcb) != 0;
}

// The events of both threads; false when one could not be made.
bool CUartPort::CreateEvents()
{
    std::memset(&m_ovRead, 0, sizeof(m_ovRead));
    m_ovRead.hEvent = CommCreateEvent();
    m_hReaderStop = CommCreateEvent();
    m_hRxRoom = CommCreateEvent();
    std::memset(&m_ovWrite, 0, sizeof(m_ovWrite));
    m_ovWrite.hEvent = CommCreateEvent();
    m_hTxReady = CommCreateEvent();
    m_hWriterStop = CommCreateEvent();
    return m_ovRead.hEvent != 0 && m_hReaderStop != 0 && m_hRxRoom != 0 && m_ovWrite.hEvent != 0 && m_hTxReady != 0
           && m_hWriterStop != 0;
}

// Both worker threads; the reason when one could not be started.
COsError CUartPort::StartThreads()
{
    COsError err = StartThread(m_hReaderThread, m_bReaderRun, &CUartPort::ReaderThread);
    if (!err.IsError())
        err = StartThread(m_hWriterThread, m_bWriterRun, &CUartPort::WriterThread);
    return err;
}

COsError CUartPort::StartThread(std::thread& th, std::atomic<bool>& bRun, void (CUartPort::*pfnBody)())
{
    bRun.store(true, std::memory_order_release);
    try {
        th = std::thread(pfnBody, this);
    } catch (const std::system_error& err) {
        bRun.store(false, std::memory_order_release);
        return OsErrorOfKind(EOsError::NoResources, err.what());
    }
    return COsError();
}

void CUartPort::StopThreads()
{
    m_bReaderRun.store(false, std::memory_order_release);
    m_bWriterRun.store(false, std::memory_order_release);
    if (m_hComm != COMM_INVALID_HANDLE)
        CommSetMask(m_hComm, EV_RXFLAG);   // ends a pending event wait
    CommSetEvent(m_hReaderStop);
    CommSetEvent(m_hWriterStop);
    JoinThreads();
}

bool CUartPort::JoinThreads()
{
    // Join rather than poll: nothing the threads use is released before they have ended.
    // A hook that closes the port runs on the reader thread, which cannot join itself;
    // it ends on its own once the hook returns, touching nothing but the object, and
    // the next Open, Close or the destructor on the owner's thread joins it.
    const std::thread::id idSelf = std::this_thread::get_id();
    bool bAllJoined = true;
    for (std::thread* pThread : { &m_hReaderThread, &m_hWriterThread }) {
        if (!pThread->joinable())
            continue;
        if (pThread->get_id() == idSelf)
            bAllJoined = false;
        else
            pThread->join();
    }
    return bAllJoined;
}

void CUartPort::ReleaseEvents()
{
    CommCloseEvent(m_ovRead.hEvent);
    std::memset(&m_ovRead, 0, sizeof(m_ovRead));
    CommCloseEvent(m_hReaderStop);
    m_hReaderStop = 0;
    CommCloseEvent(m_hRxRoom);
    m_hRxRoom = 0;
    CommCloseEvent(m_hTxReady);
    m_hTxReady = 0;
    CommCloseEvent(m_ovWrite.hEvent);
    std::memset(&m_ovWrite, 0, sizeof(m_ovWrite));
    CommCloseEvent(m_hWriterStop);
    m_hWriterStop = 0;
}

void CUartPort::Close()
{
    StopThreads();
    ReleaseEvents();
    if (m_hComm != COMM_INVALID_HANDLE) {
        CommClose(m_hComm);
        m_hComm = COMM_INVALID_HANDLE;
    }
    m_bDtr = m_dcb.fDtrControl != 0;
    m_bRts = m_dcb.fRtsControl != 0;
    if (m_bOpen) {
        m_bOpen = false;
        m_dwModemStatus.store(0, std::memory_order_relaxed);
        OnCommEvent(OPEN_CLOSE_EVENTS);
    }
}

int32_t CUartPort::Read(uint8_t* pDst, int32_t nLen)
{
    if (m_pRxBuffer == nullptr)
        return 0;
    const int32_t nRead = m_pRxBuffer->Read(pDst, nLen);
    NoteRxTaken(nRead);
    return nRead;
}

int32_t CUartPort::PeekRx(const uint8_t** ppSrc) const
{
    *ppSrc = nullptr;
    return m_pRxBuffer != nullptr ? m_pRxBuffer->GetReadSpan(ppSrc) : 0;
}

int32_t CUartPort::DiscardRx(int32_t nLen)
{
    if (m_pRxBuffer == nullptr)
        return 0;
    const int32_t nDropped = m_pRxBuffer->Discard(nLen);
    NoteRxTaken(nDropped);
    return nDropped;
}

// Consumer side, after taking bytes: wakes a reader that waits for room. The
// fence pairs with the reader's (flag, then free space): one of the two sides
// always sees the other.
void CUartPort::NoteRxTaken(int32_t nTaken)
{
    if (nTaken <= 0)
        return;
    m_qwRxTaken.fetch_add(static_cast<uint64_t>(nTaken), std::memory_order_acq_rel);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_bRxWaitRoom.load(std::memory_order_relaxed))
        CommSetEvent(m_hRxRoom);
}

CRxGapMark CUartPort::GetRxGapMark() const
{
    CRxGapMark mark;
    mark.m_qwGaps = m_qwRxGaps.load(std::memory_order_acquire);
    mark.m_qwBytes = m_qwRxGapBytes.load(std::memory_order_relaxed);
    mark.m_qwAt = m_qwRxGapAt.load(std::memory_order_relaxed);
    return mark;
}

int32_t CUartPort::StoreRx(const uint8_t* pSrc, int32_t nLen)
{
    if (m_pRxBuffer == nullptr || nLen <= 0)
        return 0;
    const int32_t nStored = m_pRxBuffer->Write(pSrc, nLen);
    NoteRxStored(nStored);
    if (nStored < nLen) {   // not when the reader keeps to the ring's room
        const uint64_t qwLost = static_cast<uint64_t>(nLen - std::max(nStored, 0));
        m_qwRxOverflow.fetch_add(qwLost, std::memory_order_relaxed);
        NoteRxGap(qwLost);
    }
    return nStored;
}

void CUartPort::NoteRxStored(int32_t nStored)
{
    m_qwRxStored.fetch_add(static_cast<uint64_t>(std::max(nStored, 0)), std::memory_order_release);
}

void CUartPort::NoteRxGap(uint64_t qwLost)
{
    m_qwRxGapAt.store(m_qwRxStored.load(std::memory_order_relaxed), std::memory_order_relaxed);
    m_qwRxGapBytes.fetch_add(qwLost, std::memory_order_relaxed);
    m_qwRxGaps.fetch_add(1, std::memory_order_release);
}

int32_t CUartPort::Write(const uint8_t* pSrc, int32_t nLen)
{
    if (m_pTxBuffer == nullptr)
        return 0;
    const int32_t nStored = m_pTxBuffer->Write(pSrc, nLen);
    m_qwTxAccepted.fetch_add(static_cast<uint64_t>(nStored), std::memory_order_release);
    CommSetEvent(m_hTxReady);
    return nStored;
}

int32_t CUartPort::WriteString(const char* psz)
{
    if (psz == nullptr)
        return 0;
    return Write(reinterpret_cast<const uint8_t*>(psz), static_cast<int32_t>(std::strlen(psz)));
}

void CUartPort::PurgeRx(bool bAbort)
{
    if (!m_bOpen)
        return;
    (void)CommPurge(m_hComm, bAbort ? (PURGE_RXABORT | PURGE_RXCLEAR) : PURGE_RXCLEAR);
    // The owner is the receive ring's consumer: it empties the ring from its own side,
    // which the reader thread, still filling it, can safely run against.
    if (m_pRxBuffer != nullptr)
        DiscardRx(m_pRxBuffer->GetCount());
}

void CUartPort::PurgeTx(bool bAbort)
{
    if (!m_bOpen)
        return;
    // The writer thread is the transmit ring's consumer: it drops everything accepted
    // up to this point at its next wake-up (at once when a write of its own is
    // aborted); bytes written after the purge survive.
    m_qwTxPurgeTo.store(m_qwTxAccepted.load(std::memory_order_relaxed), std::memory_order_release);
    (void)CommPurge(m_hComm, bAbort ? (PURGE_TXABORT | PURGE_TXCLEAR) : PURGE_TXCLEAR);
    CommSetEvent(m_hTxReady);
}

int32_t CUartPort::Escape(uint32_t dwFunc)
{
    if (!m_bOpen || CommEscape(m_hComm, dwFunc) == 0)
        return 0;
    switch (dwFunc) {
    case SETRTS: m_bRts = true; break;
    case CLRRTS: m_bRts = false; break;
    case SETDTR: m_bDtr = true; break;
    case CLRDTR: m_bDtr = false; break;
    default: break;
    }
    return 1;
}

bool CUartPort::DrainTx(int32_t nTimeoutMs)
{
    const auto tmDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    // Bytes written while the port was closed wait for the writer's next wake-up: give it one.
    CommSetEvent(m_hTxReady);
    for (;;) {
        if (!m_bOpen)
            return m_pTxBuffer == nullptr || m_pTxBuffer->GetCount() == 0;
        if (m_bLineLost.load(std::memory_order_acquire))
            return false;
        const bool bHanded = m_qwTxFinished.load(std::memory_order_acquire)
            >= m_qwTxAccepted.load(std::memory_order_relaxed);
        uint32_t dwOutQueue = 0;
        if (bHanded && CommGetOutQueue(m_hComm, &dwOutQueue) != 0 && dwOutQueue == 0)
            return true;
        if (std::chrono::steady_clock::now() >= tmDeadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(DRAIN_POLL_MS));
    }
}

void CUartPort::OnCommEvent(uint32_t dwMask)
{
    CallHook(m_pfnCommEvent, m_pHookContext, this, dwMask);
}


int32_t CUartPort::GetRxCount() const
{
    return m_pRxBuffer != nullptr ? m_pRxBuffer->GetCount() : 0;
}

int32_t CUartPort::GetTxCount() const
{
    return m_pTxBuffer != nullptr ? m_pTxBuffer->GetCount() : 0;
}

bool CUartPort::IsReleased() const
{
    return m_hComm == COMM_INVALID_HANDLE && m_ovRead.hEvent == 0 && m_ovWrite.hEvent == 0 && m_hReaderStop == 0
        && m_hWriterStop == 0 && m_hTxReady == 0 && m_hRxRoom == 0 && !m_hReaderThread.joinable()
        && !m_hWriterThread.joinable() && !IsReaderRunning() && !IsWriterRunning();
}

std::thread::native_handle_type CUartPort::GetReaderThreadHandle()
{
    return m_hReaderThread.joinable() ? m_hReaderThread.native_handle() : std::thread::native_handle_type();
}

std::thread::native_handle_type CUartPort::GetWriterThreadHandle()
{
    return m_hWriterThread.joinable() ? m_hWriterThread.native_handle() : std::thread::native_handle_type();
}
