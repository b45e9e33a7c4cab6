// The requests to end the program that come from outside the window: on
// POSIX SIGINT, SIGTERM and SIGHUP. They are turned into a call on the GUI
// thread (a self-pipe watched by a QSocketNotifier), so that the program can
// leave the way Exit does: the stop command reaches the dongle before the
// port closes. Each signal is caught once: sent again while the first is
// handled, it ends the program at once (the default action).
#pragma once

#include <cstdint>
#include <functional>

class QSocketNotifier;

class CExitSignals {
public:
    CExitSignals();
    ~CExitSignals();   // restores the default handling
    CExitSignals(const CExitSignals&) = delete;
    CExitSignals& operator=(const CExitSignals&) = delete;

    // Needs the Qt application object. fnOnExit gets the signal number on
    // the GUI thread. One instance at a time; false when it cannot be set up.
    bool Install(std::function<void(int32_t)> fnOnExit);
    void Uninstall();

private:
    void OnReadable();

    std::function<void(int32_t)> m_fnOnExit;
    QSocketNotifier* m_pNotifier;
    int m_hRead;
    int m_hWrite;
};
