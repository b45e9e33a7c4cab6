// A private directory for one test (mkdtemp under $TMPDIR or /tmp), removed
// with everything in it when the object goes: parallel runs never share a path.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

class CTestTempDir {
public:
    // pszPrefix names the directory after the tests that made it.
    explicit CTestTempDir(const char* pszPrefix = "qm-test")
    {
        const char* pszBase = std::getenv("TMPDIR");
        const std::string strTemplate =
            std::string(pszBase != nullptr && *pszBase != '\0' ? pszBase : "/tmp") + "/" + pszPrefix + "-XXXXXX";
        std::vector<char> vecName(strTemplate.begin(), strTemplate.end());
        vecName.push_back('\0');
        if (mkdtemp(vecName.data()) != nullptr)
            m_strPath = vecName.data();
    }
    ~CTestTempDir()
    {
        if (!m_strPath.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_strPath, ec);
        }
    }
    CTestTempDir(const CTestTempDir&) = delete;
    CTestTempDir& operator=(const CTestTempDir&) = delete;

    // "" when the directory could not be made.
    const std::string& Path() const { return m_strPath; }
    std::string operator/(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};
