// A serial port under test on a real pseudo-terminal published as COM200, with
// hooks that record every call (which hook, mask, thread).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "serial/uart_port.h"
#include "serial_test_env.h"

constexpr int32_t TEST_PORT = 200;

struct CHookCall {
    char m_cHook;            // 'E' comm event, 'O' opened, 'C' closing
    uint32_t m_dwMask;
    bool m_bOnOwner;         // called on the thread that made the port
    bool m_bReaderAlive;     // the reader thread was running at the call
};

class CRecordingPort : public CUartPort {
public:
    CRecordingPort() : m_idOwner(std::this_thread::get_id())
    {
        m_pfnCommEvent = CommEventHook;
        m_pfnOpened = OpenedHook;
        m_pfnClosing = ClosingHook;
    }
    // Closed here, while the recording members still exist for the hooks.
    ~CRecordingPort() override { Close(); }

    std::vector<CHookCall> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_calls;
    }
    void ClearCalls()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_calls.clear();
    }
    // Calls of the comm-event hook whose mask has any of dwBits.
    size_t CountEvents(uint32_t dwBits)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        size_t n = 0;
        for (const CHookCall& call : m_calls)
            n += call.m_cHook == 'E' && (call.m_dwMask & dwBits) != 0;
        return n;
    }
    // Calls made by the owner's thread, in order.
    std::vector<CHookCall> OwnerCalls()
    {
        std::vector<CHookCall> calls;
        for (const CHookCall& call : Calls()) {
            if (call.m_bOnOwner)
                calls.push_back(call);
        }
        return calls;
    }
    bool WaitForEvent(uint32_t dwBits, size_t nCount = 1, int nTimeoutMs = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] {
            size_t n = 0;
            for (const CHookCall& call : m_calls)
                n += call.m_cHook == 'E' && (call.m_dwMask & dwBits) != 0;
            return n >= nCount;
        });
    }

    // Optional extra action of the comm-event hook (runs after recording).
    typedef void (*PFN_ON_EVENT)(CRecordingPort* pPort, uint32_t dwMask);
    std::atomic<PFN_ON_EVENT> m_pfnOnEvent { nullptr };

private:
    void Record(char cHook, uint32_t dwMask)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_calls.push_back({ cHook, dwMask, std::this_thread::get_id() == m_idOwner,
            m_bReaderAlive.load() });
        m_cv.notify_all();
    }
    static void CommEventHook(CUartPort* pPort, uint32_t dwMask)
    {
        CRecordingPort* pSelf = static_cast<CRecordingPort*>(pPort);
        pSelf->Record('E', dwMask);
        const PFN_ON_EVENT pfnOnEvent = pSelf->m_pfnOnEvent.load();
        if (pfnOnEvent != nullptr)
            pfnOnEvent(pSelf, dwMask);
    }
    static void OpenedHook(CUartPort* pPort) { static_cast<CRecordingPort*>(pPort)->Record('O', 0); }
    static void ClosingHook(CUartPort* pPort) { static_cast<CRecordingPort*>(pPort)->Record('C', 0); }

    std::thread::id m_idOwner;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<CHookCall> m_calls;
};

class CUartFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_TRUE(m_pty.IsValid());
        SetPortsDirectory(m_dir.Path().c_str());
        ASSERT_TRUE(PublishComLink(m_dir.Path(), TEST_PORT, m_pty.SlavePath()));
    }
    void TearDown() override { SetPortsDirectory(""); }

    // Everything a closed port must have released.
    static void ExpectReleased(const CUartPort& port)
    {
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.m_hComm, COMM_INVALID_HANDLE);
        EXPECT_EQ(port.m_ovRead.hEvent, 0);
        EXPECT_EQ(port.m_ovWrite.hEvent, 0);
        EXPECT_EQ(port.m_hReaderStop, 0);
        EXPECT_EQ(port.m_hWriterStop, 0);
        EXPECT_EQ(port.m_hTxReady, 0);
        EXPECT_FALSE(port.m_hReaderThread.joinable());
        EXPECT_FALSE(port.m_hWriterThread.joinable());
        EXPECT_FALSE(port.m_bReaderAlive.load());
        EXPECT_FALSE(port.m_bWriterAlive.load());
    }

    // Takes every byte the port has received until nCount arrived or the time is up.
    static std::vector<uint8_t> DrainPort(CUartPort& port, size_t nCount, int nTimeoutMs = 5000)
    {
        std::vector<uint8_t> by;
        uint8_t abyBuf[65536];
        WaitFor([&] {
            int32_t n = 0;
            while ((n = port.Read(abyBuf, sizeof(abyBuf))) > 0)
                by.insert(by.end(), abyBuf, abyBuf + n);
            return by.size() >= nCount;
        }, nTimeoutMs);
        return by;
    }

    CTestTempDir m_dir;
    CPtyPair m_pty;
};
