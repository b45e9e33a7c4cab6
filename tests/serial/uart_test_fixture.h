// A serial port under test on a real pseudo-terminal published as COM200, with
// a comm-event hook that records every call (mask, thread).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/uart_port.h"
#include "serial_test_env.h"

constexpr int32_t TEST_PORT = 200;

struct CHookCall {
    uint32_t m_dwMask;
    bool m_bOnOwner;         // called on the thread that made the recorder
    bool m_bReaderAlive;     // the reader thread was running at the call
    std::thread::id m_idThread;
};

// Set as a port's comm-event hook (with itself as the context), records every
// call. Destroyed before its port, it closes the port first, while the
// recording members still exist for the hook.
class CHookRecorder {
public:
    explicit CHookRecorder(CUartPort& port) : m_port(port), m_idOwner(std::this_thread::get_id())
    {
        EXPECT_TRUE(m_port.SetCommEventHook(CommEventHook, this));
    }
    ~CHookRecorder()
    {
        m_port.Close();
        m_port.SetCommEventHook(nullptr, nullptr);
    }
    CHookRecorder(const CHookRecorder&) = delete;
    CHookRecorder& operator=(const CHookRecorder&) = delete;

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
    // Calls whose mask has any of dwBits.
    size_t CountEvents(uint32_t dwBits)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return CountLocked(dwBits);
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
        return m_cv.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
            [&] { return CountLocked(dwBits) >= nCount; });
    }

    // Optional extra action of the hook (runs after recording).
    typedef void (*PFN_ON_EVENT)(CUartPort* pPort, uint32_t dwMask);
    std::atomic<PFN_ON_EVENT> m_pfnOnEvent { nullptr };

private:
    size_t CountLocked(uint32_t dwBits) const
    {
        size_t n = 0;
        for (const CHookCall& call : m_calls)
            n += (call.m_dwMask & dwBits) != 0;
        return n;
    }
    void Record(CUartPort* pPort, uint32_t dwMask)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        const std::thread::id idThread = std::this_thread::get_id();
        m_calls.push_back({ dwMask, idThread == m_idOwner, pPort->IsReaderRunning(), idThread });
        m_cv.notify_all();
    }
    static void CommEventHook(void* pContext, CUartPort* pPort, uint32_t dwMask)
    {
        CHookRecorder* pSelf = static_cast<CHookRecorder*>(pContext);
        EXPECT_EQ(pPort, &pSelf->m_port);
        pSelf->Record(pPort, dwMask);
        const PFN_ON_EVENT pfnOnEvent = pSelf->m_pfnOnEvent.load();
        if (pfnOnEvent != nullptr)
            pfnOnEvent(pPort, dwMask);
    }

    CUartPort& m_port;
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
        EXPECT_TRUE(port.IsReleased());
        EXPECT_FALSE(port.IsReaderRunning());
        EXPECT_FALSE(port.IsWriterRunning());
        EXPECT_EQ(port.GetModemStatus(), 0u);
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
