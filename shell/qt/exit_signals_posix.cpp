#include "shell/qt/exit_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int EXIT_SIGNALS[] = { SIGINT, SIGTERM, SIGHUP };

// The write end for the handler; -1 while nothing is installed.
volatile sig_atomic_t s_hSignalWrite = -1;

extern "C" void OnExitSignal(int nSignal)
{
    const int nSavedErrno = errno;
    const unsigned char bySignal = static_cast<unsigned char>(nSignal);
    if (s_hSignalWrite >= 0) {
        // A full pipe already holds a request: dropping this one loses nothing.
        ssize_t nIgnored = write(s_hSignalWrite, &bySignal, 1);
        (void)nIgnored;
    }
    errno = nSavedErrno;
}

} // namespace

CExitSignals::CExitSignals()
    : m_pNotifier(nullptr)
    , m_hRead(-1)
    , m_hWrite(-1)
{
}

CExitSignals::~CExitSignals()
{
    Uninstall();
}

bool CExitSignals::Install(std::function<void(int32_t)> fnOnExit)
{
    if (m_hRead >= 0 || s_hSignalWrite >= 0)
        return false;
    int hPipe[2];
    if (pipe2(hPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_hRead = hPipe[0];
    m_hWrite = hPipe[1];
    m_fnOnExit = std::move(fnOnExit);
    m_pNotifier = new QSocketNotifier(m_hRead, QSocketNotifier::Read);
    QObject::connect(m_pNotifier, &QSocketNotifier::activated, m_pNotifier, [this] { OnReadable(); });
    s_hSignalWrite = m_hWrite;

    // One-shot: a second request while the first is handled is not caught.
    struct sigaction sa = {};
    sa.sa_handler = &OnExitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int nSignal : EXIT_SIGNALS)
        sigaction(nSignal, &sa, nullptr);
    return true;
}

void CExitSignals::Uninstall()
{
    if (m_hRead < 0)
        return;
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int nSignal : EXIT_SIGNALS)
        sigaction(nSignal, &sa, nullptr);
    s_hSignalWrite = -1;
    delete m_pNotifier;
    m_pNotifier = nullptr;
    close(m_hRead);
    close(m_hWrite);
    m_hRead = -1;
    m_hWrite = -1;
    m_fnOnExit = nullptr;
}

void CExitSignals::OnReadable()
{
    unsigned char bySignal = 0;
    int32_t nSignal = 0;
    while (read(m_hRead, &bySignal, 1) == 1) {
        if (nSignal == 0)
            nSignal = bySignal;
    }
    if (nSignal != 0 && m_fnOnExit)
        m_fnOnExit(nSignal);
}
