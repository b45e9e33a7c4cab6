#include "shell/extcap/extcap_install.h"

#include "base/settings_os.h"
#include "shell/extcap/extcap_install_os.h"

namespace {

std::string Trimmed(const std::string& str)
{
    const size_t nFirst = str.find_first_not_of(" \t\r");
    if (nFirst == std::string::npos)
        return std::string();
    const size_t nLast = str.find_last_not_of(" \t\r");
    return str.substr(nFirst, nLast - nFirst + 1);
}

bool SameNoCase(const std::string& strA, const char* pszB)
{
    const std::string strB = pszB;
    if (strA.size() != strB.size())
        return false;
    for (size_t i = 0; i < strA.size(); ++i) {
        const char chA = (strA[i] >= 'A' && strA[i] <= 'Z') ? static_cast<char>(strA[i] - 'A' + 'a') : strA[i];
        const char chB = (strB[i] >= 'A' && strB[i] <= 'Z') ? static_cast<char>(strB[i] - 'A' + 'a') : strB[i];
        if (chA != chB)
            return false;
    }
    return true;
}

std::string ErrorText(const COsError& err)
{
    return err.m_strText.empty() ? std::string("error ") + std::to_string(err.m_nCode) : err.m_strText;
}

std::string EntryPath(const std::string& strDir)
{
    std::string strEntry = strDir;
    if (!strEntry.empty() && strEntry.back() != EXTCAP_PATH_SEPARATOR && strEntry.back() != '/')
        strEntry += EXTCAP_PATH_SEPARATOR;
    return strEntry + EXTCAP_INSTALLED_NAME;
}

// The folder for --install / --uninstall without one: "" with strErr filled
// when there is none we may use.
std::string ChooseFolder(const CExtcapArgs& args, const std::string& strProgram, std::string& strErr)
{
    const char* pszAction = args.m_eAction == EExtcapAction::Install ? "--install" : "--uninstall";
    CExtcapFolders folders;
    std::string strWhy;
    if (!ExtcapQueryFolders(folders, strWhy)) {
        strErr += strWhy + "\nName the folder Wireshark searches for extcap programs: " +
                  ShellQuoted(strProgram) + " " + pszAction + " DIR\n";
        return std::string();
    }
    const CExtcapPlan plan = PlanExtcapFolder(folders, SettingsDirWritable(folders.m_strGlobal.c_str()));
    if (plan.m_ePlan == EExtcapPlan::UseFolder)
        return plan.m_strDir;
    if (plan.m_ePlan == EExtcapPlan::NeedsRoot) {
        strErr += "Wireshark searches only " + plan.m_strDir +
                  " for extcap programs, and only root may change it. Run:\n  sudo " + ShellQuoted(strProgram) +
                  " " + pszAction + " " + ShellQuoted(plan.m_strDir) + "\n";
        return std::string();
    }
    strErr += "Wireshark names no extcap folder (is Wireshark installed?). Name one: " + ShellQuoted(strProgram) +
              " " + pszAction + " DIR\n";
    return std::string();
}

int32_t Install(const std::string& strProgram, const std::string& strDir, std::string& strOut, std::string& strErr)
{
    if (!ExtcapMakeFolders(strDir)) {
        strErr += "Cannot create the folder " + strDir + "\n";
        return 1;
    }
    const std::string strEntry = EntryPath(strDir);
    std::string strWhat;
    const EExtcapEntry eEntry = ExtcapInspectEntry(strEntry, strProgram, strWhat);
    switch (eEntry) {
    case EExtcapEntry::Self:
        strOut += strProgram + " is in " + strDir + " already.\n";
        return 0;
    case EExtcapEntry::Foreign:
        strErr += strEntry + " exists and is not ours (" + strWhat + "); left as it is.\n";
        return 1;
    default:
        break;
    }
    const bool bOther = eEntry == EExtcapEntry::Other;
    const COsError err = ExtcapPlaceProgram(strProgram, strEntry);
    if (err.IsError()) {
        strErr += "Cannot install " + strEntry + ": " + ErrorText(err) + "\n";
        return 1;
    }
    strOut += "Installed " + strEntry + " (" + strProgram + ")" + (bOther ? ", in place of " + strWhat : "") + ".\n"
              "Start Wireshark again: each dongle found shows in its interface list.\n";
    return 0;
}

int32_t Uninstall(const std::string& strProgram, const std::string& strDir, std::string& strOut, std::string& strErr)
{
    const std::string strEntry = EntryPath(strDir);
    std::string strWhat;
    const EExtcapEntry eEntry = ExtcapInspectEntry(strEntry, strProgram, strWhat);
    switch (eEntry) {
    case EExtcapEntry::None:
        strOut += "Nothing installed at " + strEntry + ".\n";
        return 0;
    case EExtcapEntry::Self:
        strErr += strEntry + " is this program itself, not an installed link; left as it is.\n";
        return 1;
    case EExtcapEntry::Foreign:
        strErr += strEntry + " is not ours (" + strWhat + "); left as it is.\n";
        return 1;
    default:
        break;
    }
    const COsError err = ExtcapRemoveEntry(strEntry);
    if (err.IsError()) {
        strErr += "Cannot remove " + strEntry + ": " + ErrorText(err) + "\n";
        return 1;
    }
    strOut += "Removed " + strEntry + (eEntry == EExtcapEntry::Other ? " (" + strWhat + ")" : "") + ".\n";
    return 0;
}

} // namespace

CExtcapFolders ParseExtcapFolders(const std::string& strText)
{
    CExtcapFolders folders;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        const std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        const size_t nColon = strLine.find(':');
        if (nColon == std::string::npos)
            continue;
        const std::string strKey = Trimmed(strLine.substr(0, nColon));
        const std::string strValue = Trimmed(strLine.substr(nColon + 1));
        if (SameNoCase(strKey, "Personal Extcap path"))
            folders.m_strPersonal = strValue;
        else if (SameNoCase(strKey, "Global Extcap path") || SameNoCase(strKey, "Extcap path"))
            folders.m_strGlobal = strValue;
    }
    return folders;
}

CExtcapPlan PlanExtcapFolder(const CExtcapFolders& folders, bool bGlobalWritable)
{
    CExtcapPlan plan;
    if (!folders.m_strPersonal.empty()) {
        plan.m_ePlan = EExtcapPlan::UseFolder;
        plan.m_strDir = folders.m_strPersonal;
    } else if (!folders.m_strGlobal.empty()) {
        plan.m_ePlan = bGlobalWritable ? EExtcapPlan::UseFolder : EExtcapPlan::NeedsRoot;
        plan.m_strDir = folders.m_strGlobal;
    }
    return plan;
}

std::string ShellQuoted(const std::string& strPath)
{
    bool bPlain = !strPath.empty();
    for (char ch : strPath) {
        const bool bSafe = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                           std::string("/._-+,:=@").find(ch) != std::string::npos;
        bPlain = bPlain && bSafe;
    }
    if (bPlain)
        return strPath;
    std::string strOut = "'";
    for (char ch : strPath) {
        if (ch == '\'')
            strOut += "'\\''";
        else
            strOut += ch;
    }
    return strOut + "'";
}

int32_t RunExtcapInstall(const CExtcapArgs& args, std::string& strOut, std::string& strErr)
{
    const std::string strProgram = ExtcapProgramPath();
    if (strProgram.empty()) {
        strErr += "Cannot tell where this program lives.\n";
        return 1;
    }
    std::string strDir = args.m_strDir;
    if (strDir.empty())
        strDir = ChooseFolder(args, strProgram, strErr);
    if (strDir.empty())
        return 1;
    return args.m_eAction == EExtcapAction::Install ? Install(strProgram, strDir, strOut, strErr)
                                                    : Uninstall(strProgram, strDir, strOut, strErr);
}
