// The controller's owner in tests: records every report, can call back into
// the controller from inside a report as the main dialog does, and holds the
// data sink that records a copy of every data frame (handed on from the serial
// reader thread; the frame pointer is only valid during the call).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "tests/link/rf_ctrl_test_posix.h"

// The controller's child id under the test owner (any id will do).
constexpr uint32_t TEST_CTRL_ID = 110;

typedef std::vector<uint8_t> CBytes;

inline CBytes Bytes(const uint8_t* p, size_t n)
{
    return CBytes(p, p + n);
}

struct CStatusSeen {
    WPARAM m_wState;
    LPARAM m_lCode;
    bool m_bPortOpen;     // the port as the owner saw it during the report
    int64_t m_nAtMs;
};

// Frames and batch ends as the reader thread hands them on.
class CDataRecorder : public IRfDataSink {
public:
    void OnDataFrame(const uint8_t* pFrame, int32_t nLen) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecFrames.push_back(Bytes(pFrame, static_cast<size_t>(nLen)));
        m_bOffWindowThread = m_bOffWindowThread && std::this_thread::get_id() != m_idWindow;
        ++m_nInBatch;
    }
    void OnDataBatchEnd() override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_vecBatches.push_back(m_nInBatch);
        m_nInBatch = 0;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecFrames.size();
    }
    std::vector<CBytes> Frames()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecFrames;
    }
    // Frames per batch, and frames not yet closed by a batch end.
    std::vector<size_t> Batches(size_t* pnOpen)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        *pnOpen = m_nInBatch;
        return m_vecBatches;
    }
    bool AllOffWindowThread()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_bOffWindowThread;
    }

private:
    std::mutex m_mtx;
    const std::thread::id m_idWindow = std::this_thread::get_id();
    std::vector<CBytes> m_vecFrames;
    std::vector<size_t> m_vecBatches;
    size_t m_nInBatch = 0;
    bool m_bOffWindowThread = true;
};

class COwner : public CMsgTarget {
public:
    CRFCtrl* m_pCtrl = nullptr;
    CDataRecorder m_data;
    std::vector<CStatusSeen> m_vecStatus;
    std::vector<int32_t> m_vecLineLostStates;   // the link state at each WM_RF_LINE_LOST
    std::function<void(WPARAM, LPARAM)> m_fnOnStatus;
    const std::thread::id m_idWindow = std::this_thread::get_id();

    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override
    {
        EXPECT_EQ(std::this_thread::get_id(), m_idWindow) << "message " << nMsg << " off the window thread";
        if (nMsg == WM_RF_STATUS) {
            CUartPort* pPort = m_pCtrl->GetPort();
            m_vecStatus.push_back({wParam, lParam, pPort != nullptr && pPort->IsOpen(), TestNowMs()});
            if (m_fnOnStatus)
                m_fnOnStatus(wParam, lParam);
        } else if (nMsg == WM_RF_LINE_LOST) {
            EXPECT_EQ(wParam, 0u);
            EXPECT_EQ(lParam, 0);
            m_vecLineLostStates.push_back(m_pCtrl->GetState());
        } else {
            ADD_FAILURE() << "unexpected message " << nMsg;   // data frames no longer come as messages
        }
        return 0;
    }
};
