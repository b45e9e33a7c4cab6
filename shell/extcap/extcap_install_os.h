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

// Makes strDir and the folders above it that are missing, each one open to
// Wireshark run by any user (rwxr-xr-x whatever the umask); folders that
// exist are left as they are. False when strDir is not a folder afterwards.
bool ExtcapMakeFolders(const std::string& strDir);

enum class EExtcapEntry : int32_t {
    None,      // nothing at the entry's path
    Ours,      // what --install put there for this program
    Other,     // a link to another Quillmark extcap (another build or copy)
    Stale,     // a link to a Quillmark extcap that is gone
    Self,      // this very program lives there
    Foreign,   // something else: left alone
};
// What is at strEntry. On POSIX only a symbolic link counts as ours: one that
// leads to this program, or whose target's file name is the installed name
// (a program that is not a folder, or gone). strWhat describes a foreign
// entry, or the target of another one of ours, for the message.
EExtcapEntry ExtcapInspectEntry(const std::string& strEntry, const std::string& strProgram, std::string& strWhat);

// Puts the program at strEntry, replacing an entry of ours.
COsError ExtcapPlaceProgram(const std::string& strProgram, const std::string& strEntry);
COsError ExtcapRemoveEntry(const std::string& strEntry);
