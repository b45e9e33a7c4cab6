// What --install needs from the operating system. One backend per platform:
// extcap_install_posix.cpp (a symbolic link, folders from tshark) and
// extcap_install_win32.cpp (a copy into %APPDATA%\Wireshark\extcap).
#pragma once

#include <cstdint>
#include <string>

#include "base/os_error.h"
#include "shell/extcap/extcap_install.h"

extern const char* const EXTCAP_INSTALLED_NAME;   // the entry's file name in the folder
extern const char EXTCAP_PATH_SEPARATOR;

// Absolute path of the running program (links resolved); "" when unknown.
std::string ExtcapProgramPath();

// The folders Wireshark searches for extcap programs; false when they could
// not be found out (strWhy says why).
bool ExtcapQueryFolders(CExtcapFolders& folders, std::string& strWhy);

enum class EExtcapEntry : int32_t {
    None,      // nothing at the entry's path
    Ours,      // what --install put there for this program
    Stale,     // a link of ours whose program is gone
    Self,      // this very program lives there
    Foreign,   // something else: left alone
};
// What is at strEntry; strWhat describes a foreign entry for the message.
EExtcapEntry ExtcapInspectEntry(const std::string& strEntry, const std::string& strProgram, std::string& strWhat);

// Puts the program at strEntry, replacing an entry of ours.
COsError ExtcapPlaceProgram(const std::string& strProgram, const std::string& strEntry);
COsError ExtcapRemoveEntry(const std::string& strEntry);
