// --install and --uninstall into a folder named on the command line: the
// folder is made, the entry runs this very program (a link on POSIX, a copy on
// Windows), a second install replaces it, uninstall removes it and then finds
// nothing to remove.
#include "shell/extcap/extcap_install.h"
#include "shell/extcap/extcap_install_os.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

int32_t RunAction(EExtcapAction eAction, const fs::path& dir, std::string& strOut, std::string& strErr)
{
    CExtcapArgs args;
    args.m_eAction = eAction;
    args.m_strDir = dir.string();
    strOut.clear();
    strErr.clear();
    return RunExtcapInstall(args, strOut, strErr);
}

} // namespace

TEST(CExtcapInstallTest, InstallAndUninstall)
{
    const fs::path top = fs::temp_directory_path() / ("qm-extcap-install-" + std::to_string(std::random_device()()));
    const fs::path dir = top / "Wireshark" / "extcap";   // missing parents are made
    const fs::path entry = dir / EXTCAP_INSTALLED_NAME;
    const fs::path program = ExtcapProgramPath();
    ASSERT_FALSE(program.empty());
    std::string strOut;
    std::string strErr;

    ASSERT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 0) << strErr;
    EXPECT_NE(strOut.find("Installed"), std::string::npos);
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_EQ(fs::file_size(entry), fs::file_size(program));
    EXPECT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 0) << strErr;
    EXPECT_TRUE(fs::exists(entry));
    // Only the entry: no temporary left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 0) << strErr;
    EXPECT_FALSE(fs::exists(fs::symlink_status(entry)));
    EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 0) << strErr;
    EXPECT_NE(strOut.find("Nothing installed"), std::string::npos);

    fs::remove_all(top);
}
