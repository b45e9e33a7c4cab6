// --install and --uninstall: which folder Wireshark searches for extcap
// programs, and putting this program there (a link on POSIX, so that it keeps
// its settings and ports directory beside the real program; a copy on
// Windows) or taking it out again.
#pragma once

#include <cstdint>
#include <string>

#include "shell/extcap/extcap_args.h"

// What `tshark -G folders` says about extcap programs: newer versions print
// "Personal Extcap path" and "Global Extcap path", 4.0 only "Extcap path".
struct CExtcapFolders {
    std::string m_strPersonal;
    std::string m_strGlobal;
};
CExtcapFolders ParseExtcapFolders(const std::string& strText);

enum class EExtcapPlan : int32_t {
    UseFolder,   // install into m_strDir
    NeedsRoot,   // only m_strDir is searched, and we may not write there
    Unknown,     // Wireshark named no folder (not installed?)
};
struct CExtcapPlan {
    EExtcapPlan m_ePlan = EExtcapPlan::Unknown;
    std::string m_strDir;
};
// The personal folder where Wireshark searches one; else the global folder,
// when bGlobalWritable says we may write there.
CExtcapPlan PlanExtcapFolder(const CExtcapFolders& folders, bool bGlobalWritable);

// A path as a POSIX shell reads it back: quoted when it holds anything but
// letters, digits and "/._-+,:=@".
std::string ShellQuoted(const std::string& strPath);

// Carries out --install or --uninstall. Lines for the user go to strOut,
// errors (and what to run instead) to strErr; returns the exit code.
int32_t RunExtcapInstall(const CExtcapArgs& args, std::string& strOut, std::string& strErr);
