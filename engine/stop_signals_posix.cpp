// The signals are blocked in every thread (the mask is inherited by the
// threads started later) and taken by sigwait on a thread of our own, so the
// callback may do anything a normal thread does.
#include "engine/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace {

constexpr int STOP_SIGNALS[] = { SIGINT, SIGTERM, SIGHUP };
// What the destructor sends the watcher to end its wait.
constexpr int WAKE_SIGNAL = SIGTERM;

sigset_t StopSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int nSignal : STOP_SIGNALS)
        sigaddset(&set, nSignal);
    return set;
}

} // namespace

CStopSignals::CStopSignals() : m_bQuit(false), m_dwBlockedByUs(0), m_bWatching(false)
{
}

CStopSignals::~CStopSignals()
{
    if (!m_bWatching)
        return;
    m_bQuit.store(true);
    // Directed at the watcher, which has it blocked: sigwait takes it.
    pthread_kill(m_thread.native_handle(), WAKE_SIGNAL);
    m_thread.join();
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int nSignal : STOP_SIGNALS) {
        if ((m_dwBlockedByUs & (1u << nSignal)) != 0)
            sigaddset(&unblock, nSignal);
    }
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

bool CStopSignals::Watch(std::function<void(int32_t)> fnStop)
{
    if (m_bWatching)
        return false;
    const sigset_t set = StopSet();
    sigset_t old;
    if (pthread_sigmask(SIG_BLOCK, &set, &old) != 0)
        return false;
    m_dwBlockedByUs = 0;
    for (int nSignal : STOP_SIGNALS) {
        if (sigismember(&old, nSignal) == 0)
            m_dwBlockedByUs |= 1u << nSignal;
    }
    // A signal whose action is "ignore" never becomes pending, so sigwait
    // would not see it: SIGINT and SIGTERM are taken even when the program
    // was started with them ignored (a background job of a script); an
    // ignored SIGHUP is left alone (nohup asked for exactly that).
    for (int nSignal : STOP_SIGNALS) {
        struct sigaction sa = {};
        if (sigaction(nSignal, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN && nSignal != SIGHUP) {
            sa.sa_handler = SIG_DFL;
            sigaction(nSignal, &sa, nullptr);
        }
    }
    m_fnStop = std::move(fnStop);
    m_thread = std::thread([this] {
        const sigset_t waitSet = StopSet();
        for (;;) {
            int nSignal = 0;
            if (sigwait(&waitSet, &nSignal) != 0)
                continue;
            if (m_bQuit.load())
                return;
            if (m_fnStop)
                m_fnStop(nSignal);
        }
    });
    m_bWatching = true;
    return true;
}
