// Running a command line (tshark, mostly) and taking its output apart.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

// Runs strCmd through the shell; returns what it printed on standard output.
inline std::string CommandOutput(const std::string& strCmd)
{
    std::string strOut;
    FILE* pPipe = popen(strCmd.c_str(), "r");
    if (pPipe == nullptr)
        return strOut;
    char szBuf[4096];
    size_t n;
    while ((n = fread(szBuf, 1, sizeof szBuf, pPipe)) > 0)
        strOut.append(szBuf, n);
    pclose(pPipe);
    return strOut;
}

// The lines of str; a last line without its line end counts too.
inline std::vector<std::string> SplitLines(const std::string& str)
{
    std::vector<std::string> v;
    size_t nStart = 0;
    while (nStart < str.size()) {
        size_t nEnd = str.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = str.size();
        v.push_back(str.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return v;
}

// One row of fields per line, cut at cSeparator (empty fields kept), as
// tshark -T fields prints them.
inline std::vector<std::vector<std::string>> SplitFields(const std::string& strText, char cSeparator)
{
    std::vector<std::vector<std::string>> vecRows;
    for (const std::string& strLine : SplitLines(strText)) {
        std::vector<std::string> vecCols;
        size_t nStart = 0;
        for (;;) {
            const size_t nSep = strLine.find(cSeparator, nStart);
            vecCols.push_back(strLine.substr(nStart, nSep == std::string::npos ? std::string::npos : nSep - nStart));
            if (nSep == std::string::npos)
                break;
            nStart = nSep + 1;
        }
        vecRows.push_back(vecCols);
    }
    return vecRows;
}

// Puts a command line in a private home and configuration directory: tshark
// run by a test must not read the user's preferences nor share a profile
// with a parallel run.
inline std::string InPrivateHome(const std::string& strDir, const std::string& strCmd)
{
    return "env HOME='" + strDir + "' XDG_CONFIG_HOME='" + strDir + "' " + strCmd;
}
