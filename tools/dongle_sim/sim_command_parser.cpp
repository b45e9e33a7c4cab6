#include "tools/dongle_sim/sim_command_parser.h"

#include <cstdio>
#include <cstring>

CSimCommandParser::CSimCommandParser() : m_byWindow{}, m_nHave(0), m_qwSkipped(0)
{
}

void CSimCommandParser::DropFirst()
{
    std::memmove(m_byWindow, m_byWindow + 1, static_cast<size_t>(m_nHave - 1));
    --m_nHave;
    ++m_qwSkipped;
}

void CSimCommandParser::Feed(const uint8_t* pData, int32_t nLen, std::vector<CSimParsed>& vecOut)
{
    for (int32_t i = 0; i < nLen; ++i) {
        m_byWindow[m_nHave++] = pData[i];
        Resolve(vecOut);
    }
}

void CSimCommandParser::Resolve(std::vector<CSimParsed>& vecOut)
{
    while (m_nHave > 0) {
        if (m_byWindow[0] != RF_SYNC0) {
            DropFirst();
            continue;
        }
        if (m_nHave < 2)
            return;
        if (m_byWindow[1] != RF_SYNC1) {
            DropFirst();
            continue;
        }
        if (m_nHave < 3)
            return;
        if (m_byWindow[2] != RF_CMD_LEN - RF_HEADER_LEN) {
            // The host sends nothing but 7-byte commands.
            DropFirst();
            continue;
        }
        if (m_nHave < RF_CMD_LEN)
            return;
        CSimParsed parsed;
        std::memcpy(parsed.m_byFrame, m_byWindow, RF_CMD_LEN);
        const uint8_t bySum = static_cast<uint8_t>(m_byWindow[2] + m_byWindow[3] + m_byWindow[4] + m_byWindow[5]);
        if (bySum != 0) {
            parsed.m_nResult = SIM_PARSE_BAD_CHECKSUM;
        } else if (m_byWindow[6] != SIM_CMD_LAST_BYTE) {
            parsed.m_nResult = SIM_PARSE_BAD_END;
        } else {
            parsed.m_nResult = SIM_PARSE_COMMAND;
            vecOut.push_back(parsed);
            m_nHave = 0;
            return;
        }
        vecOut.push_back(parsed);
        // A broken frame may hide the start of a real one: look again one byte on.
        DropFirst();
    }
}

void DescribeSimCommand(const uint8_t* pFrame, char* pszOut, int32_t nSize)
{
    const uint8_t byCmd = pFrame[3];
    const uint8_t byParam = pFrame[4];
    if (byCmd == SIM_CMD_SET_CHANNEL)
        std::snprintf(pszOut, static_cast<size_t>(nSize), "set-channel %u", byParam);
    else if (byCmd == SIM_CMD_SNIFF && byParam == 1)
        std::snprintf(pszOut, static_cast<size_t>(nSize), "start");
    else if (byCmd == SIM_CMD_SNIFF && byParam == 0)
        std::snprintf(pszOut, static_cast<size_t>(nSize), "stop");
    else
        std::snprintf(pszOut, static_cast<size_t>(nSize), "unknown command %02X %02X", byCmd, byParam);
}

void FormatSimBytes(const uint8_t* pData, int32_t nLen, char* pszOut, int32_t nSize)
{
    if (nSize <= 0)
        return;
    pszOut[0] = '\0';
    int32_t nUsed = 0;
    for (int32_t i = 0; i < nLen && nUsed + 4 <= nSize; ++i)
        nUsed += std::snprintf(pszOut + nUsed, static_cast<size_t>(nSize - nUsed), i == 0 ? "%02X" : " %02X", pData[i]);
}
