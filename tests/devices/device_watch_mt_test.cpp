// The Linux device watcher on a real ports directory: links that come and go
// are reported from the watcher's thread, also when the directory (and the
// one above it) is made only after Start, and when it is removed and made
// again.
#include "serial/port_names.h"
#include "devices/device_watch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "common/temp_dir_posix.h"

namespace {

constexpr auto REPORT_WAIT = std::chrono::seconds(10);

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

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nCount = 0;
    int m_nTaken = 0;
};

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
