// The model on a real capture without Qt: the simulated dongle on a pty
// published as COM200, a stand-in Wireshark (a shell script that copies the
// FIFO to a file), the window loop turned by the test.
#pragma once

#include "model_test_view.h"

#include "serial/uart_port.h"
#include "devices/device_source.h"
#include "devices/device_watch.h"
#include "shell/model/dlg_ids.h"

#include <signal.h>

#include <fstream>

#include "common/child_process_posix.h"
#include "common/pty_posix.h"

constexpr int32_t SIM_PORT = 200;
constexpr int32_t WAIT_MS = 10000;
constexpr uint32_t PCAP_MAGIC_LE = 0xA1B2C3D4u;

// A device name that maps to COM200, as discovery would list the sim's link.
const std::vector<std::string> SIM_DEVICES = { "Simulated dongle on /dev/pts/x (COM200)" };

class CModelCaptureTest : public CModelTest {
protected:
    void SetUp() override
    {
        CModelTest::SetUp();
        m_strCapture = m_dir / "capture.pcap";
        setenv("QM_TEST_CAPTURE_OUT", m_strCapture.c_str(), 1);
        setenv("QM_TEST_READER_PID", (m_dir / "reader.pid").c_str(), 1);
        setenv("QM_TEST_READER_MODE", "copy", 1);
        ASSERT_EQ(WriteSettingString(SETTINGS_INDEX, "Wireshark", QM_TEST_READER_SCRIPT), 1);
        WriteSetting("ComPort", SIM_PORT);
        WriteSetting("Channel", 20);
        m_devices.m_vecNames = SIM_DEVICES;
    }
    // The launched reader is not the pipe link's to end: the test ends it, or
    // a sleeping one would hold the test's output open for a minute.
    void TearDown() override
    {
        m_pModel.reset();
        std::ifstream inPid(m_dir / "reader.pid");
        pid_t pidReader = 0;
        if (inPid >> pidReader && pidReader > 0)
            kill(pidReader, SIGKILL);
        if (m_sim.SendSignal(SIGTERM))
            m_sim.WaitExit(5000);
    }
    bool StartSim(const std::vector<std::string>& vecExtra)
    {
        std::vector<std::string> vecArgv { QM_DONGLE_SIM_PATH, "--port", std::to_string(SIM_PORT),
            "--ports-dir", PortsDir() };
        vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
        return m_sim.Spawn(vecArgv) && m_sim.WaitForText("ready ", WAIT_MS, false);
    }
    bool WaitLogged(const std::string& strPart)
    {
        return RunUntil([&] { return m_view.Logged(strPart); }, WAIT_MS);
    }
    uint32_t CaptureMagic() const
    {
        std::ifstream in(m_strCapture, std::ios::binary);
        uint32_t dwMagic = 0;
        in.read(reinterpret_cast<char*>(&dwMagic), sizeof(dwMagic));
        return dwMagic;
    }

    std::string m_strCapture;
    CChildProcess m_sim;
};
