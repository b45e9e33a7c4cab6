// Shared by the controller's scripted tests: the real controller and serial
// port on a real pseudo-terminal on which the test plays the dongle byte by
// byte, so that every answer (or silence) comes exactly when a case needs it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "link/frame_protocol.h"
#include "link/rf_ctrl.h"
#include "serial/uart_port.h"
#include "tests/link/rf_ctrl_test_env.h"
#include "tests/link/rf_ctrl_test_owner.h"
#include "tests/link/rf_ctrl_test_posix.h"

constexpr int32_t TEST_PORT = 201;
constexpr uint32_t TIMEOUT_MS = 150;   // the controller's acknowledgement time-out here
constexpr int WAIT_MS = 3000;          // upper bound for anything that should happen

const CBytes START_FRAME = Bytes(g_byStartSniffFrame, RF_CMD_LEN);
const CBytes STOP_FRAME = Bytes(g_byStopSniffFrame, RF_CMD_LEN);
const CBytes ACK7 = {0x00, 0x01, 0x04, 0x00, 0x00, 0xFC, 0x04};
const CBytes ACK3 = {0x00, 0x01, 0x00};

inline CBytes SetChannelFrame(uint8_t byChannel)
{
    return {0x00, 0x01, 0x04, 0x00, byChannel, static_cast<uint8_t>(0xFC - byChannel), 0x04};
}

// 00 01 LEN and a body that differs per seed.
inline CBytes DataFrame(int32_t nTotal, uint8_t bySeed)
{
    CBytes vec = {0x00, 0x01, static_cast<uint8_t>(nTotal - 3)};
    for (int32_t i = 3; i < nTotal; ++i)
        vec.push_back(static_cast<uint8_t>(bySeed + i * 7));
    return vec;
}

inline CBytes Cat(const std::vector<CBytes>& vecParts)
{
    CBytes vec;
    for (const CBytes& p : vecParts)
        vec.insert(vec.end(), p.begin(), p.end());
    return vec;
}

class RfCtrlScripted : public ::testing::Test {
protected:
    CTestDir m_dir;
    std::unique_ptr<CPtyDongle> m_pDongle;
    COwner m_owner;
    std::unique_ptr<CRFCtrl> m_pCtrl;
    CBytes m_vecFromHost;   // bytes the host sent that the test has not yet taken
    int32_t m_nPort = TEST_PORT;   // what Start hands the controller
    int32_t m_nChannel = 20;

    int32_t Start() { return m_pCtrl->StartCapture(m_nPort, m_nChannel); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.Ok());
        m_pDongle = std::make_unique<CPtyDongle>(m_dir.m_strPorts, TEST_PORT);
        ASSERT_TRUE(m_pDongle->Ok());
        m_pCtrl = std::make_unique<CRFCtrl>();
        m_owner.m_pCtrl = m_pCtrl.get();
        ASSERT_TRUE(m_pCtrl->Create(&m_owner, TEST_CTRL_ID));
        m_pCtrl->SetDataSink(&m_owner.m_data);
        EXPECT_EQ(g_pRFCtrl, m_pCtrl.get());
        m_pCtrl->SetAckTimeoutMs(TIMEOUT_MS);
    }

    void TearDown() override
    {
        m_pCtrl.reset();
        EXPECT_EQ(g_pRFCtrl, nullptr) << "the global still points at a destroyed controller";
        m_pDongle.reset();
    }

    // Keeps the event loop turning until the host has sent n more bytes; then
    // takes and returns exactly those (fewer on time-out).
    CBytes TakeFromHost(size_t n, CPtyDongle* pDongle = nullptr)
    {
        CPtyDongle& dongle = pDongle != nullptr ? *pDongle : *m_pDongle;
        WaitUntil([&] {
            CBytes vec = dongle.ReadAvailable();
            m_vecFromHost.insert(m_vecFromHost.end(), vec.begin(), vec.end());
            return m_vecFromHost.size() >= n;
        }, WAIT_MS);
        const size_t nTake = std::min(n, m_vecFromHost.size());
        CBytes vec(m_vecFromHost.begin(), m_vecFromHost.begin() + static_cast<ptrdiff_t>(nTake));
        m_vecFromHost.erase(m_vecFromHost.begin(), m_vecFromHost.begin() + static_cast<ptrdiff_t>(nTake));
        return vec;
    }

    // Turns the loop for nMs and returns everything the host sent meanwhile.
    CBytes HostBytesDuring(int nMs)
    {
        WaitUntil([&] {
            CBytes vec = m_pDongle->ReadAvailable();
            m_vecFromHost.insert(m_vecFromHost.end(), vec.begin(), vec.end());
            return false;
        }, nMs);
        CBytes vec;
        vec.swap(m_vecFromHost);
        return vec;
    }

    bool WaitFrames(size_t n) { return WaitUntil([&] { return m_owner.m_data.Count() >= n; }, WAIT_MS); }
    bool WaitStatus(size_t n) { return WaitUntil([&] { return m_owner.m_vecStatus.size() >= n; }, WAIT_MS); }

    // Sends a data frame as a marker and waits for it: everything the dongle
    // sent before it has then been worked off.
    void Flush(uint8_t bySeed = 0x5A)
    {
        const size_t n = m_owner.m_data.Count();
        ASSERT_TRUE(m_pDongle->Send(DataFrame(20, bySeed)));
        ASSERT_TRUE(WaitFrames(n + 1));
    }

    // Start and both handshake steps; ends sniffing with (2, 0) reported.
    void StartSniffing()
    {
        const size_t nStatus = m_owner.m_vecStatus.size();
        ASSERT_EQ(Start(), 0);
        ASSERT_EQ(TakeFromHost(RF_CMD_LEN), SetChannelFrame(20));
        ASSERT_TRUE(m_pDongle->Send(ACK7));
        ASSERT_EQ(TakeFromHost(RF_CMD_LEN), START_FRAME);
        ASSERT_TRUE(m_pDongle->Send(ACK7));
        ASSERT_TRUE(WaitStatus(nStatus + 1));
        ASSERT_EQ(m_pCtrl->GetState(), RF_STATE_SNIFFING);
    }
};
