// What the interface toolbar answers: a channel picked in Wireshark becomes
// one retune of the session at a time, asked only once the capture sniffs;
// the selector is disabled until the dongle is there and set to the channel
// it is really on; hopping keeps it disabled; the log keeps the lines told
// before Wireshark opened our pipe.
#include "shell/extcap/extcap_toolbar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CControlMsg Set(uint8_t byControl, const std::string& strValue)
{
    CControlMsg msg;
    msg.m_byControl = byControl;
    msg.m_eCommand = EControlCommand::Set;
    msg.m_strPayload = strValue;
    return msg;
}

// The messages as "control:command:payload", to compare at a glance.
std::vector<std::string> Sent(const CToolbarActions& actions)
{
    std::vector<std::string> vec;
    for (const CControlMsg& msg : actions.m_vecSend)
        vec.push_back(std::to_string(msg.m_byControl) + ":" + std::to_string(static_cast<int>(msg.m_eCommand)) + ":" +
                      msg.m_strPayload);
    return vec;
}

const std::vector<std::string> ON_20_OPEN = { "0:1:20", "0:4:", "0:6:Sniffing on channel 20" };

} // namespace

TEST(CExtcapToolbarTest, RetuneOneAtATime)
{
    CExtcapToolbar toolbar(11, false);
    // Picked while the dongle is still starting: disabled, asked once it sniffs.
    CToolbarActions actions = toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "20"));
    EXPECT_EQ(actions.m_nRetuneTo, 0);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:5:" }));
    actions = toolbar.OnChannel(11);
    EXPECT_EQ(actions.m_nRetuneTo, 20);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:11", "0:5:", "0:6:Sniffing on channel 11" }));

    // Two more picks while that runs: only the last is asked, after it.
    EXPECT_EQ(toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "15")).m_nRetuneTo, 0);
    EXPECT_EQ(toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "25")).m_nRetuneTo, 0);
    actions = toolbar.OnChannel(20);
    EXPECT_EQ(actions.m_nRetuneTo, 25);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:20", "0:5:", "0:6:Sniffing on channel 20" }));
    actions = toolbar.OnChannel(25);
    EXPECT_EQ(actions.m_nRetuneTo, 0);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:25", "0:4:", "0:6:Sniffing on channel 25" }));

    // The channel it is on already: nothing to ask, the selector stays open.
    actions = toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "25"));
    EXPECT_EQ(actions.m_nRetuneTo, 0);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:25", "0:4:", "0:6:Sniffing on channel 25" }));

    // What is not a channel is refused, and the selector shows the truth again.
    for (const char* pszBad : { "27", "10", "", "2O", "020", "20 " }) {
        actions = toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, pszBad));
        EXPECT_EQ(actions.m_nRetuneTo, 0) << pszBad;
        EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:25", "0:4:", "0:6:Sniffing on channel 25" }));
    }
    // Other controls and commands do nothing.
    EXPECT_TRUE(Sent(toolbar.OnMessage(Set(TOOLBAR_LOG_CONTROL, ""))).empty());
    CControlMsg add = Set(TOOLBAR_CHANNEL_CONTROL, "20");
    add.m_eCommand = EControlCommand::Add;
    EXPECT_TRUE(Sent(toolbar.OnMessage(add)).empty());
}

TEST(CExtcapToolbarTest, RefusedAndInterruptedRetunes)
{
    CExtcapToolbar toolbar(11, false);
    toolbar.OnChannel(11);
    EXPECT_EQ(toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "20")).m_nRetuneTo, 20);
    // The dongle went away meanwhile and came back on the old channel (the
    // engine dropped the retune): it is asked again.
    CToolbarActions actions = toolbar.OnChannel(11);
    EXPECT_EQ(actions.m_nRetuneTo, 20);
    EXPECT_EQ(Sent(toolbar.OnChannel(20)), ON_20_OPEN);

    // No capture any more: the session refuses; the selector does not stay
    // disabled by a retune that never comes, nor is another asked.
    EXPECT_EQ(toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "21")).m_nRetuneTo, 21);
    actions = toolbar.OnRetuneRefused();
    EXPECT_EQ(actions.m_nRetuneTo, 0);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:20", "0:5:" }));
    EXPECT_EQ(toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "22")).m_nRetuneTo, 0);

    // A failure is told as an error, the selector closed.
    actions = toolbar.OnFailed("The dongle on COM200 did not answer.\n");
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:5:", "0:9:The dongle on COM200 did not answer.\n" }));
}

TEST(CExtcapToolbarTest, HoppingAndInitialized)
{
    CExtcapToolbar toolbar(11, true);
    // Wireshark's "initialized" gets the state: before the start, the
    // channel the capture starts on, disabled, no status yet.
    CControlMsg init;
    EXPECT_EQ(Sent(toolbar.OnMessage(init)), std::vector<std::string>({ "0:1:11", "0:5:" }));
    // Each hop shows, the selector never opens, a pick is refused.
    EXPECT_EQ(Sent(toolbar.OnChannel(13)),
        std::vector<std::string>({ "0:1:13", "0:5:", "0:6:Sniffing on channel 13" }));
    CToolbarActions actions = toolbar.OnMessage(Set(TOOLBAR_CHANNEL_CONTROL, "20"));
    EXPECT_EQ(actions.m_nRetuneTo, 0);
    EXPECT_EQ(Sent(actions), std::vector<std::string>({ "0:1:13", "0:5:", "0:6:Sniffing on channel 13" }));

    CExtcapToolbar fixed(20, false);
    fixed.OnChannel(20);
    EXPECT_EQ(Sent(fixed.OnMessage(init)), ON_20_OPEN);
}

TEST(CExtcapToolbarTest, LogBeforeAndAfterThePipeOpens)
{
    CExtcapToolbar toolbar(20, false);
    // Before our pipe is open the lines wait, the last TOOLBAR_LOG_BACKLOG_MAX of them.
    for (size_t n = 0; n < TOOLBAR_LOG_BACKLOG_MAX + 5; ++n)
        EXPECT_TRUE(Sent(toolbar.OnLine("line " + std::to_string(n))).empty());
    toolbar.OnChannel(20);
    const std::vector<std::string> vecOpened = Sent(toolbar.OnOutOpened());
    ASSERT_EQ(vecOpened.size(), TOOLBAR_LOG_BACKLOG_MAX + ON_20_OPEN.size());
    EXPECT_EQ(vecOpened.front(), "1:2:line 5\n");
    EXPECT_EQ(vecOpened[TOOLBAR_LOG_BACKLOG_MAX - 1], "1:2:line " + std::to_string(TOOLBAR_LOG_BACKLOG_MAX + 4) + "\n");
    EXPECT_EQ(std::vector<std::string>(vecOpened.end() - 3, vecOpened.end()), ON_20_OPEN);
    // Then each line goes at once, added to the log.
    EXPECT_EQ(Sent(toolbar.OnLine("Stop ZigBee sniffing OK!")),
        std::vector<std::string>({ "1:2:Stop ZigBee sniffing OK!\n" }));
}
