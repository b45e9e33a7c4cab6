#include "tools/dongle_sim/sim_run.h"

#include <chrono>

#include "tools/dongle_sim/sim_engine.h"
#include "tools/dongle_sim/sim_port.h"

// Blocks written per turn before the loop looks at the host's commands again.
constexpr int32_t SIM_BLOCKS_PER_TURN = 64;

uint64_t SimNowUs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int32_t RunSimLoop(CSimPort& port, CSimEngine& engine, ISimEvents& events)
{
    uint8_t byRx[4096];
    for (;;) {
        if (SimStopRequested())
            return SIM_END_STOPPED;
        uint64_t qwNow = SimNowUs();
        // Open and close notices first: bytes that a new host wrote must not
        // be answered into the queue of the host before it.
        if (port.PollHost())
            engine.OnHostClosed();
        if (port.IsHostPresent())
            engine.OnHostOpened(qwNow);
        for (;;) {
            const int32_t nRead = port.Read(byRx, static_cast<int32_t>(sizeof byRx));
            if (nRead < 0) {
                events.Log("the line failed");
                return SIM_END_LINE_LOST;
            }
            if (nRead == 0)
                break;
            engine.OnReceived(byRx, nRead, qwNow);
        }

        bool bBlocked = false;
        bool bMore = false;
        for (int32_t i = 0; i < SIM_BLOCKS_PER_TURN; ++i) {
            engine.Tick(SimNowUs());
            if (!engine.HasOutput() || engine.WantsHangup())
                break;
            int32_t nLen = 0;
            const uint8_t* pOut = engine.GetOutput(nLen);
            const int32_t nDone = port.Write(pOut, nLen);
            if (nDone < 0) {
                events.Log("the line failed");
                return SIM_END_LINE_LOST;
            }
            engine.OnWritten(nDone);
            if (nDone < nLen) {
                bBlocked = true;
                break;
            }
            bMore = i + 1 == SIM_BLOCKS_PER_TURN;
        }
        if (engine.WantsHangup()) {
            events.Log("hanging up after " + std::to_string(engine.GetStats().m_qwFrames) + " frames");
            port.HangUp();
            return SIM_END_HUNG_UP;
        }

        qwNow = SimNowUs();
        const uint64_t qwWake = engine.GetNextWakeUs();
        uint64_t qwTimeout = qwWake == SIM_NEVER ? SIM_NEVER : (qwWake > qwNow ? qwWake - qwNow : 0);
        if (bMore && !bBlocked)
            qwTimeout = 0;
        port.Wait(qwTimeout, bBlocked);
    }
}
