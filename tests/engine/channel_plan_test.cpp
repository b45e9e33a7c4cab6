// Channel lists and seconds as the faces take them from the user.
#include <gtest/gtest.h>

#include "engine/channel_plan.h"

namespace {

std::vector<int32_t> Parsed(const std::string& strList)
{
    std::vector<int32_t> vec = { -1 };
    std::string strError;
    EXPECT_TRUE(ParseChannelList(strList, vec, strError)) << strList << ": " << strError;
    return vec;
}

std::string Refused(const std::string& strList)
{
    std::vector<int32_t> vec = { 42 };
    std::string strError;
    EXPECT_FALSE(ParseChannelList(strList, vec, strError)) << strList;
    EXPECT_EQ(vec, (std::vector<int32_t> { 42 })) << "a refused list leaves the old one";
    return strError;
}

} // namespace

TEST(ChannelList, RunsSinglesAndTheirOrder)
{
    EXPECT_EQ(Parsed("11-26"), AllChannels());
    EXPECT_EQ(Parsed("15"), (std::vector<int32_t> { 15 }));
    EXPECT_EQ(Parsed("20, 11-13 ,25"), (std::vector<int32_t> { 20, 11, 12, 13, 25 }));
    EXPECT_EQ(Parsed("14-12"), (std::vector<int32_t> { 14, 13, 12 }));
    EXPECT_EQ(Parsed("26-26"), (std::vector<int32_t> { 26 }));
}

TEST(ChannelList, MalformedListsSayWhy)
{
    EXPECT_NE(Refused("").find("is not a channel"), std::string::npos);
    EXPECT_NE(Refused("10").find("'10' is not a channel from 11 to 26"), std::string::npos);
    EXPECT_NE(Refused("11-27").find("'11-27'"), std::string::npos);
    EXPECT_NE(Refused("11,,12").find("''"), std::string::npos);
    EXPECT_NE(Refused("11-").find("'11-'"), std::string::npos);
    EXPECT_NE(Refused("+15").find("'+15'"), std::string::npos);
    EXPECT_NE(Refused("011").find("'011'"), std::string::npos);
    EXPECT_NE(Refused("11-13,12").find("channel 12 is listed twice"), std::string::npos);
}

TEST(ChannelList, FormatReadsBackAsTheSameList)
{
    for (const std::vector<int32_t>& vec : { AllChannels(), std::vector<int32_t> { 15 },
             std::vector<int32_t> { 11, 12, 13, 20, 22, 23 }, std::vector<int32_t> { 20, 11, 12 } }) {
        std::vector<int32_t> vecBack;
        std::string strError;
        ASSERT_TRUE(ParseChannelList(FormatChannelList(vec), vecBack, strError)) << FormatChannelList(vec);
        EXPECT_EQ(vecBack, vec);
    }
    EXPECT_EQ(FormatChannelList(AllChannels()), "11-26");
    EXPECT_EQ(FormatChannelList({ 11, 12, 15, 17, 18, 19 }), "11-12,15,17-19");
}

TEST(Seconds, WithinTheirRangeToTheMillisecond)
{
    uint32_t dwMs = 0;
    std::string strError;
    ASSERT_TRUE(ParseSeconds("2", 100, 3600000, "--dwell", dwMs, strError));
    EXPECT_EQ(dwMs, 2000u);
    ASSERT_TRUE(ParseSeconds("0.25", 100, 3600000, "--dwell", dwMs, strError));
    EXPECT_EQ(dwMs, 250u);
    ASSERT_TRUE(ParseSeconds("0", 0, 1000, "--resume-wait", dwMs, strError));
    EXPECT_EQ(dwMs, 0u);
    for (const char* psz : { "", "0.05", "abc", "2s", "-1", "nan", "inf", "1e9" }) {
        dwMs = 7;
        EXPECT_FALSE(ParseSeconds(psz, 100, 3600000, "--dwell", dwMs, strError)) << psz;
        EXPECT_EQ(dwMs, 7u);
        EXPECT_EQ(strError.rfind("--dwell: '", 0), 0u) << strError;
    }
    EXPECT_NE(strError.find("from 0.1 to 3600"), std::string::npos) << strError;
}
