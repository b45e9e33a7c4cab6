// Replays the MAC frames of a pcap file in file order, from the start again
// at its end. Link type 195 carries the FCS: the bytes of it that the file
// holds are cut off, since the dongle never reports them. Link type 230 has
// none.
#pragma once

#include <cstddef>
#include <string>

#include "tools/dongle_sim/sim_source.h"

constexpr int32_t SIM_LINKTYPE_WITH_FCS = 195;
constexpr int32_t SIM_LINKTYPE_NO_FCS = 230;
constexpr int32_t SIM_MAX_PAYLOAD = 241;           // what a 258-byte data frame holds
constexpr int64_t SIM_REPLAY_MAX_BYTES = 64ll << 20;

class CSimReplay : public ISimPayloadSource {
public:
    CSimReplay();
    // Loads every record; false with a reason when the file cannot be read, has
    // another link type or holds no frame that fits a data frame.
    bool Load(const char* pszPath, std::string& strError);
    bool NextPayload(CSimBytes& byOut) override;

    size_t GetFrameCount() const { return m_vecFrames.size(); }
    int32_t GetSkipped() const { return m_nSkipped; }   // records too long for a data frame
    int32_t GetLinkType() const { return m_nLinkType; }
    const std::vector<CSimBytes>& GetFrames() const { return m_vecFrames; }

private:
    std::vector<CSimBytes> m_vecFrames;
    size_t m_nNext;
    int32_t m_nSkipped;
    int32_t m_nLinkType;
};

// How many FCS bytes a link-type-195 record holds at its end: the FCS is the
// last two bytes of the frame on the air, and a record cut short of the
// frame's full length lost those first.
int32_t SimFcsBytesHeld(uint32_t dwCapLen, uint32_t dwOrigLen);
