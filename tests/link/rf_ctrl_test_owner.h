// The controller's owner in tests: records every report and a copy of every
// frame (the frame pointer is only valid during the call), and can call back
// into the controller from inside a report as the main dialog does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "tests/link/rf_ctrl_test_posix.h"

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

class COwner : public CMsgTarget {
public:
    CRFCtrl* m_pCtrl = nullptr;
    std::vector<CStatusSeen> m_vecStatus;
    std::vector<CBytes> m_vecFrames;
    std::vector<int32_t> m_vecFrameStates;
    std::function<void(WPARAM, LPARAM)> m_fnOnStatus;

    LRESULT OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam) override
    {
        if (nMsg == WM_RF_STATUS) {
            CUartPort* pPort = m_pCtrl->GetPort();
            m_vecStatus.push_back({wParam, lParam, pPort != nullptr && pPort->IsOpen(), TestNowMs()});
            if (m_fnOnStatus)
                m_fnOnStatus(wParam, lParam);
        } else if (nMsg == WM_RF_FRAME) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(wParam);
            m_vecFrames.push_back(Bytes(p, static_cast<size_t>(lParam)));
            m_vecFrameStates.push_back(m_pCtrl->GetState());
        } else {
            ADD_FAILURE() << "unexpected message " << nMsg;
        }
        return 0;
    }
};
