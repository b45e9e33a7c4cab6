// --install and --uninstall into a folder named on the command line: the
// folder is made, the entry runs this very program (a link on POSIX, a copy on
// Windows), a second install replaces it, uninstall removes it and then finds
// nothing to remove. On POSIX, with real folders and links: the folders made
// are open to other users whatever the umask, and only a link to a Quillmark
// extcap is replaced or removed; anything else of the same name is left and
// reported.
#include "shell/extcap/extcap_install.h"
#include "shell/extcap/extcap_install_os.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifndef _WIN32
namespace {

// A private folder, removed with everything in it.
class CTopDir {
public:
    CTopDir()
        : m_path(fs::temp_directory_path() / ("qm-extcap-install-" + std::to_string(std::random_device()())))
    {
        fs::create_directories(m_path);
    }
    ~CTopDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    CTopDir(const CTopDir&) = delete;
    CTopDir& operator=(const CTopDir&) = delete;
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

mode_t ModeOf(const fs::path& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The umask for one test, put back after it.
class CUmask {
public:
    explicit CUmask(mode_t mask) : m_old(umask(mask)) {}
    ~CUmask() { umask(m_old); }
    CUmask(const CUmask&) = delete;
    CUmask& operator=(const CUmask&) = delete;

private:
    mode_t m_old;
};

void MakeFile(const fs::path& path)
{
    std::ofstream(path) << "#!/bin/sh\n";
}

// The entry's link target, "" when it is no link.
std::string LinkTarget(const fs::path& entry)
{
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(entry)) ? fs::read_symlink(entry, ec).string() : std::string();
}

} // namespace

TEST(CExtcapInstallTest, FoldersMadeAreOpenToWiresharkWhateverTheUmask)
{
    CTopDir top;
    const CUmask mask(077);
    const fs::path kept = top.Path() / "kept";
    ASSERT_EQ(mkdir(kept.c_str(), 0700), 0);
    const fs::path dir = kept / "Wireshark" / "extcap";
    std::string strOut;
    std::string strErr;
    ASSERT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 0) << strErr;
    EXPECT_EQ(ModeOf(kept / "Wireshark"), 0755u);
    EXPECT_EQ(ModeOf(dir), 0755u);
    EXPECT_EQ(ModeOf(kept), 0700u) << "a folder that was there is left as it is";
    EXPECT_EQ(LinkTarget(dir / EXTCAP_INSTALLED_NAME), ExtcapProgramPath());

    // A file where a folder should be: refused, nothing made under it.
    MakeFile(top.Path() / "file");
    EXPECT_EQ(RunAction(EExtcapAction::Install, top.Path() / "file" / "extcap", strOut, strErr), 1);
    EXPECT_NE(strErr.find("Cannot create the folder"), std::string::npos) << strErr;
}

TEST(CExtcapInstallTest, OnlyALinkToAQuillmarkExtcapIsReplacedOrRemoved)
{
    CTopDir top;
    const fs::path dir = top.Path() / "extcap";
    const fs::path entry = dir / EXTCAP_INSTALLED_NAME;
    const fs::path other = top.Path() / "other-program";
    const fs::path otherBuild = top.Path() / "build2" / EXTCAP_INSTALLED_NAME;
    const fs::path namedFolder = top.Path() / "folder" / EXTCAP_INSTALLED_NAME;
    fs::create_directories(dir);
    fs::create_directories(otherBuild.parent_path());
    fs::create_directories(namedFolder);
    MakeFile(other);
    MakeFile(otherBuild);
    std::string strOut;
    std::string strErr;

    // Left alone and reported, by --uninstall and --install alike: a link to
    // another program, to a folder of our name, a dangling link whose path
    // only holds our name, and a file that is not this program.
    const std::string astrForeign[] = {
        other.string(),
        namedFolder.string(),
        (top.Path() / (std::string(EXTCAP_INSTALLED_NAME) + "-tools") / "helper").string(),
        (top.Path() / (std::string(EXTCAP_INSTALLED_NAME) + ".old")).string(),
    };
    for (const std::string& strTarget : astrForeign) {
        fs::create_symlink(strTarget, entry);
        EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 1) << strTarget;
        EXPECT_NE(strErr.find("is not ours (a link to " + strTarget + ")"), std::string::npos) << strErr;
        EXPECT_EQ(LinkTarget(entry), strTarget);
        EXPECT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 1) << strTarget;
        EXPECT_NE(strErr.find("is not ours"), std::string::npos) << strErr;
        EXPECT_EQ(LinkTarget(entry), strTarget);
        fs::remove(entry);
    }
    MakeFile(entry);
    EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 1);
    EXPECT_NE(strErr.find("not a symbolic link"), std::string::npos) << strErr;
    EXPECT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 1);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(entry)));
    fs::remove(entry);

    // A link to another build's quillmark-extcap, absolute or relative: ours.
    fs::create_symlink(otherBuild, entry);
    EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 0) << strErr;
    EXPECT_NE(strOut.find("Removed"), std::string::npos) << strOut;
    EXPECT_FALSE(fs::exists(fs::symlink_status(entry)));
    EXPECT_TRUE(fs::exists(otherBuild)) << "the program linked to is left";
    const std::string strRelative = std::string("../build2/") + EXTCAP_INSTALLED_NAME;
    fs::create_symlink(strRelative, entry);
    EXPECT_EQ(RunAction(EExtcapAction::Install, dir, strOut, strErr), 0) << strErr;
    EXPECT_NE(strOut.find("in place of a link to " + strRelative), std::string::npos) << strOut;
    EXPECT_EQ(LinkTarget(entry), ExtcapProgramPath());
    fs::remove(entry);

    // A link to a quillmark-extcap that is gone: ours too.
    fs::create_symlink(top.Path() / "gone" / EXTCAP_INSTALLED_NAME, entry);
    EXPECT_EQ(RunAction(EExtcapAction::Uninstall, dir, strOut, strErr), 0) << strErr;
    EXPECT_FALSE(fs::exists(fs::symlink_status(entry)));
    EXPECT_TRUE(fs::exists(other) && fs::exists(otherBuild) && fs::is_directory(namedFolder));
}
#endif
