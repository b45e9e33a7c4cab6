// The Linux device watcher on a real ports directory: links that come and go
// are reported from the watcher's thread, also when the directory (and the
// one above it) is made only after Start, and when it is removed and made
// again; and when the ports directory is a symbolic link that is pointed
// elsewhere, or whose target is removed and made again, after which the
// discovery lists what the new target holds.
#include "serial/port_names.h"
#include "devices/device_discovery.h"
#include "devices/device_watch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/pty_posix.h"
#include "common/temp_dir_posix.h"

namespace {

constexpr auto REPORT_WAIT = std::chrono::seconds(10);
// No report for this long after the watcher's short settle time: what came
// before has all been reported.
constexpr auto QUIET_WAIT = std::chrono::milliseconds(100);

class CReports {
public:
    void Add()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nCount;
        m_cv.notify_all();
    }
    // Waits for a report after the ones already taken, and takes them all.
    bool WaitNext()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool bGot = m_cv.wait_for(lock, REPORT_WAIT, [this] { return m_nCount > m_nTaken; });
        m_nTaken = m_nCount;
        return bGot;
    }
    // Takes the reports of earlier changes, so that the next WaitNext is
    // answered only by what comes after.
    void WaitQuiet()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_nTaken = m_nCount;
            if (!m_cv.wait_for(lock, QUIET_WAIT, [this] { return m_nCount > m_nTaken; }))
                return;
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nCount = 0;
    int m_nTaken = 0;
};

// Whether the discovery lists COMnPort on strNode now.
bool Lists(int32_t nPort, const std::string& strNode)
{
    std::vector<CDeviceItem> vecItems;
    EnumeratePresentPorts(vecItems);
    for (const CDeviceItem& item : vecItems) {
        if (item.m_nPort == nPort && item.m_strName.find(" on " + strNode + " ") != std::string::npos)
            return true;
    }
    return false;
}

// Reports come after the change, until the discovery lists COMnPort on
// strNode (a change may be reported in more than one burst). False when the
// reports stop first.
bool ReportedUntilListed(CReports& reports, int32_t nPort, const std::string& strNode)
{
    for (;;) {
        if (!reports.WaitNext())
            return false;
        if (Lists(nPort, strNode))
            return true;
    }
}

// Makes strLink point at strTarget, as `ln -sfn` does: the old link removed,
// a new one made.
bool Relink(const std::string& strTarget, const std::string& strLink)
{
    unlink(strLink.c_str());
    return symlink(strTarget.c_str(), strLink.c_str()) == 0;
}

// Makes strLink point at strTarget in one step: a new link renamed over it.
bool RelinkByRename(const std::string& strTarget, const std::string& strLink)
{
    const std::string strTemp = strLink + ".new";
    return symlink(strTarget.c_str(), strTemp.c_str()) == 0 && rename(strTemp.c_str(), strLink.c_str()) == 0;
}

} // namespace

TEST(DeviceWatch, LinksAreReportedWhereverTheDirectoryComesFrom)
{
    CTestTempDir dir("qm-watch");
    ASSERT_FALSE(dir.Path().empty());
    const std::string strSettings = dir / "config";
    const std::string strPorts = strSettings + "/ports";
    SetPortsDirectory(strPorts.c_str());
    CReports reports;
    CDeviceWatch watch;
    watch.SetSettleMs(5);
    ASSERT_TRUE(watch.Start([&reports] { reports.Add(); }));

    // Two levels made after Start, as a first run makes them.
    ASSERT_EQ(mkdir(strSettings.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(strPorts.c_str(), 0700), 0);
    ASSERT_TRUE(reports.WaitNext());
    ASSERT_EQ(symlink("/dev/null", (strPorts + "/com7").c_str()), 0);
    EXPECT_TRUE(reports.WaitNext());
    ASSERT_EQ(unlink((strPorts + "/com7").c_str()), 0);
    EXPECT_TRUE(reports.WaitNext());

    // Removed and made again: still watched.
    ASSERT_EQ(rmdir(strPorts.c_str()), 0);
    ASSERT_EQ(mkdir(strPorts.c_str(), 0700), 0);
    reports.WaitNext();   // the directory's own comings and goings, however they are grouped
    ASSERT_EQ(symlink("/dev/null", (strPorts + "/com8").c_str()), 0);
    EXPECT_TRUE(reports.WaitNext());

    ASSERT_EQ(unlink((strPorts + "/com8").c_str()), 0);
    EXPECT_TRUE(reports.WaitNext());
    watch.Stop();
    watch.Stop();
}

TEST(DeviceWatch, LinkedPortsDirectoryIsFollowedWhenItsLinkOrTargetIsReplaced)
{
    CTestTempDir dir("qm-watch-link");
    ASSERT_FALSE(dir.Path().empty());
    const std::string strSettings = dir / "config";
    const std::string strPorts = strSettings + "/ports";
    const std::string strOld = dir / "old";
    const std::string strNew = dir / "new";
    const std::string strThird = dir / "third";
    const std::string strHop = dir / "hop";
    for (const std::string& strDir : { strSettings, strOld, strNew })
        ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0) << strDir;
    ASSERT_EQ(symlink(strOld.c_str(), strPorts.c_str()), 0);
    CTestPty ptyA;
    CTestPty ptyB;
    CTestPty ptyC;
    ASSERT_TRUE(ptyA.IsValid() && ptyB.IsValid() && ptyC.IsValid());
    ASSERT_TRUE(PublishComLink(strOld, 150, ptyA.SlavePath()));
    // The new target already holds its device when the link is turned to it.
    ASSERT_TRUE(PublishComLink(strNew, 151, ptyB.SlavePath()));
    SetPortsDirectory(strPorts.c_str());
    ASSERT_TRUE(Lists(150, ptyA.SlavePath()));

    CReports reports;
    CDeviceWatch watch;
    watch.SetSettleMs(5);
    ASSERT_TRUE(watch.Start([&reports] { reports.Add(); }));

    // The link pointed at another folder: reported, and its device listed.
    reports.WaitQuiet();
    ASSERT_TRUE(Relink(strNew, strPorts));
    EXPECT_TRUE(ReportedUntilListed(reports, 151, ptyB.SlavePath()));
    EXPECT_FALSE(Lists(150, ptyA.SlavePath()));
    // A link added in the new target is seen there.
    reports.WaitQuiet();
    ASSERT_TRUE(PublishComLink(strNew, 152, ptyC.SlavePath()));
    EXPECT_TRUE(ReportedUntilListed(reports, 152, ptyC.SlavePath()));

    // The target removed and made again: the new folder is watched.
    reports.WaitQuiet();
    ASSERT_EQ(std::remove((strNew + "/com151").c_str()), 0);
    ASSERT_EQ(std::remove((strNew + "/com152").c_str()), 0);
    ASSERT_EQ(rmdir(strNew.c_str()), 0);
    ASSERT_EQ(mkdir(strNew.c_str(), 0700), 0);
    reports.WaitQuiet();
    ASSERT_TRUE(PublishComLink(strNew, 153, ptyA.SlavePath()));
    EXPECT_TRUE(ReportedUntilListed(reports, 153, ptyA.SlavePath()));

    // Replaced in one step (renamed over), to a relative target made later.
    reports.WaitQuiet();
    ASSERT_TRUE(RelinkByRename("../third", strPorts));
    EXPECT_TRUE(reports.WaitNext());
    reports.WaitQuiet();
    ASSERT_EQ(mkdir(strThird.c_str(), 0700), 0);
    ASSERT_TRUE(PublishComLink(strThird, 154, ptyB.SlavePath()));
    EXPECT_TRUE(ReportedUntilListed(reports, 154, ptyB.SlavePath()));

    // A link on the way to a link: the second one pointed elsewhere.
    ASSERT_EQ(symlink(strOld.c_str(), strHop.c_str()), 0);
    reports.WaitQuiet();
    ASSERT_TRUE(Relink(strHop, strPorts));
    EXPECT_TRUE(ReportedUntilListed(reports, 150, ptyA.SlavePath()));
    reports.WaitQuiet();
    ASSERT_TRUE(Relink(strThird, strHop));
    EXPECT_TRUE(ReportedUntilListed(reports, 154, ptyB.SlavePath()));
    reports.WaitQuiet();
    ASSERT_TRUE(PublishComLink(strThird, 155, ptyC.SlavePath()));
    EXPECT_TRUE(ReportedUntilListed(reports, 155, ptyC.SlavePath()));
    watch.Stop();
}
