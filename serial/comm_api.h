// The serial communications layer under CUartPort: the operations the port
// needs from the system, with Win32's results. comm_posix.cpp implements it on
// terminal devices with poll() and epoll; a Win32 backend maps each call onto the
// overlapped serial API.
//
// Constants keep their Win32 names and values. A Win32 backend includes this
// header before <windows.h>, whose macros then expand to the same values.
#pragma once

#include <cstdint>

typedef intptr_t COMM_HANDLE;                       // an open port
constexpr COMM_HANDLE COMM_INVALID_HANDLE = -1;     // INVALID_HANDLE_VALUE
typedef intptr_t COMM_EVENT;                        // a manual-reset event; 0 is none

// Comm events (SetCommMask / WaitCommEvent).
constexpr uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
    EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100,
    EV_PERR = 0x0200, EV_RX80FULL = 0x0400;

// DCB line control values.
constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_TOGGLE = 3;
constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// PurgeComm flags.
constexpr uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004,
    PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
constexpr uint32_t SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6,
    RESETDEV = 7, SETBREAK = 8, CLRBREAK = 9;

// ClearCommError error bits; the first two mean received bytes were lost.
constexpr uint32_t CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008,
    CE_BREAK = 0x0010;

// GetCommModemStatus bits.
constexpr uint32_t MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;

// The Win32 device control block, field for field (28 bytes).
struct COMM_DCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};
static_assert(sizeof(COMM_DCB) == 28, "COMM_DCB must keep the Win32 DCB layout");

// What an overlapped operation needs from its caller: the event it signals.
struct COMM_OVERLAPPED {
    COMM_EVENT hEvent;
};

// Results of the waiting operations.
constexpr int32_t COMM_DONE = 1;      // completed; the mask or byte count is stored
constexpr int32_t COMM_STOPPED = 0;   // the stop event ended the wait; nothing is left pending
constexpr int32_t COMM_FAILED = -1;   // failed; CommGetLastError tells why
constexpr int32_t COMM_LOST = -2;     // the device has gone (unplugged, other end closed)
constexpr int32_t COMM_ABORTED = -3;  // a purge with the abort bit cancelled the operation
constexpr int32_t COMM_WAIT_TIMEOUT = -4;   // CommWaitEvents: the time ran out

// The error of the last failed call made by the calling thread: the system's own
// error number, for OsErrorFromCode.
int32_t CommGetLastError();

// CreateFileA on a name like "\\.\Com7": exclusive, for reading and writing.
// Stores the device node it resolved to in pszDevice ("" when nothing maps).
COMM_HANDLE CommOpen(const char* pszName, char* pszDevice, int32_t nDeviceSize);
void CommClose(COMM_HANDLE h);                                        // CloseHandle
// SetCommMask. Changing the mask ends a pending CommWaitEvent at once, with mask 0.
int32_t CommSetMask(COMM_HANDLE h, uint32_t dwMask);
int32_t CommSetupQueues(COMM_HANDLE h, uint32_t dwInQueue, uint32_t dwOutQueue);   // SetupComm
int32_t CommSetState(COMM_HANDLE h, const COMM_DCB* pDcb);           // SetCommState
// ClearCommError: clears the error state, reports the error bits and cbInQue.
int32_t CommClearError(COMM_HANDLE h, uint32_t* pdwErrors, uint32_t* pdwInQueue);
// Bytes still waiting in the driver's output queue (COMSTAT's cbOutQue).
int32_t CommGetOutQueue(COMM_HANDLE h, uint32_t* pdwOutQueue);
// GetCommModemStatus; a port without modem lines reports 0 and succeeds.
int32_t CommGetModemStatus(COMM_HANDLE h, uint32_t* pdwStatus);
// PurgeComm. PURGE_RXABORT / PURGE_TXABORT end a CommRead / CommWrite that is
// waiting at that moment with COMM_ABORTED.
int32_t CommPurge(COMM_HANDLE h, uint32_t dwFlags);
// EscapeCommFunction; fails on a port without modem lines.
int32_t CommEscape(COMM_HANDLE h, uint32_t dwFunc);

// WaitCommEvent with an overlapped record, followed by the wait for the first of
// {hStop, pOv->hEvent}. Returns COMM_DONE with the events in *pdwMask,
// COMM_STOPPED, COMM_FAILED or COMM_LOST. The operation never outlives the call:
// when the stop event wins, a pending wait is cancelled before it returns.
int32_t CommWaitEvent(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, uint32_t* pdwMask);
// CommWaitEvent that also ends, with COMM_DONE and mask 0 (as a new mask does),
// once nTimeoutUs (-1: no limit) have passed with no event.
int32_t CommWaitEventFor(COMM_HANDLE h, COMM_OVERLAPPED* pOv, COMM_EVENT hStop, int32_t nTimeoutUs,
    uint32_t* pdwMask);
// How late such a time-out may end beyond what was asked, in microseconds: the
// system's timer granularity for these waits.
int32_t CommWaitLatenessUs();
// ReadFile of up to dwLen bytes. Waits (until hStop) only when nothing can be read
// at once. COMM_DONE with *pdwRead > 0, or COMM_STOPPED / COMM_ABORTED / COMM_FAILED /
// COMM_LOST.
int32_t CommRead(COMM_HANDLE h, uint8_t* pDst, uint32_t dwLen, COMM_OVERLAPPED* pOv,
    COMM_EVENT hStop, uint32_t* pdwRead);
// WriteFile of up to dwLen bytes, waiting (until hStop) for room in the driver.
// COMM_DONE with *pdwWritten > 0, or COMM_STOPPED / COMM_ABORTED / COMM_FAILED /
// COMM_LOST.
int32_t CommWrite(COMM_HANDLE h, const uint8_t* pSrc, uint32_t dwLen, COMM_OVERLAPPED* pOv,
    COMM_EVENT hStop, uint32_t* pdwWritten);

// Manual-reset events, created not signalled. A call on event 0 does nothing.
COMM_EVENT CommCreateEvent();
void CommSetEvent(COMM_EVENT h);
void CommResetEvent(COMM_EVENT h);
void CommCloseEvent(COMM_EVENT h);
bool CommIsEventSet(COMM_EVENT h);
// WaitForMultipleObjects for the first of nCount events: its index,
// COMM_WAIT_TIMEOUT when nTimeoutMs (-1: no limit) passes, or COMM_FAILED.
int32_t CommWaitEvents(const COMM_EVENT* phEvents, int32_t nCount, int32_t nTimeoutMs);

// Raises the calling thread's scheduling priority where the system allows it.
void CommRaiseThreadPriority();
