// The simulated dongle's end of the serial line: a pseudo-terminal whose
// other side is published as a port link <ports-dir>/com<N>, so that
// Quillmark finds and opens it as COM<N>.
//
// The simulator keeps the terminal side open itself, in raw mode: a host that
// closes and reopens the port then never leaves the line hung up, and the
// simulator sleeps while nobody uses it. It watches the device node to know
// whether a host has the port open.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t SIM_WAIT_READABLE = 0x1;   // the host wrote something
constexpr uint32_t SIM_WAIT_WRITABLE = 0x2;
constexpr uint32_t SIM_WAIT_HOST = 0x4;       // a host opened or closed the port
constexpr uint32_t SIM_WAIT_STOP = 0x8;       // SIGINT, SIGTERM or SIGHUP arrived

class CSimPort {
public:
    CSimPort();
    ~CSimPort();
    CSimPort(const CSimPort&) = delete;
    CSimPort& operator=(const CSimPort&) = delete;

    // Creates the ports directory when missing. Fails when another simulator
    // holds the same port number there, or when com<N> exists and is not a link.
    bool Publish(const char* pszPortsDir, int32_t nPort, std::string& strError);
    // Makes the pseudo-terminal this process's controlling terminal, in a
    // session of its own. Wine needs that of whoever serves a COM port it maps
    // to a pty: otherwise its server takes the terminal and is hung up with it.
    bool TakeAsControllingTerminal(std::string& strError);
    const std::string& GetDevicePath() const { return m_strDevice; }
    const std::string& GetLinkPath() const { return m_strLink; }

    // Sleeps until something happens or qwTimeoutUs passes (UINT64_MAX: no limit).
    uint32_t Wait(uint64_t qwTimeoutUs, bool bWantWrite);
    int32_t Read(uint8_t* pDst, int32_t nLen);          // bytes read, 0 none waiting, -1 line gone
    int32_t Write(const uint8_t* pSrc, int32_t nLen);   // bytes taken, 0 while full, -1 line gone
    // Takes in the device node's open and close notices; true when the last
    // host closed the port since the previous call (it may have been opened
    // again since: see IsHostPresent). When the last host closes, bytes it left
    // unread are discarded and the node's exclusive flag is cleared, as a real
    // device's node forgets both when its last user closes it.
    bool PollHost();
    bool IsHostPresent() const;

    // Closes the line: a host that has the port open sees it hang up.
    void HangUp();
    // Removes the port link (when it still points at this simulator's device).
    void Unpublish();

private:
    bool CreateTerminal(std::string& strError);
    bool PublishLink(std::string& strError);

    int m_hMaster;
    int m_hHold;
    int m_hNotify;
    int m_hLock;
    int32_t m_nHostOpens;
    std::string m_strDevice;
    std::string m_strLink;
    std::string m_strLock;
};

// SIGINT, SIGTERM and SIGHUP end the simulator's loop; SIGPIPE is ignored.
void InstallSimStopSignals();
bool SimStopRequested();
