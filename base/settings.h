// Settings store: the three user choices ("ComPort", "Channel", "Wireshark") in
// Quillmark.ini. Nothing is cached: every read goes to the file, every write
// keeps all lines it does not change. Each access is one private-profile call
// (profile_api.h): on Windows the platform's own, elsewhere the INI text
// layer, which replaces the file atomically.
//
// The file lives beside the executable; when that directory is not writable
// by the user, it lives in $XDG_CONFIG_HOME/Quillmark (default
// ~/.config/Quillmark, created on the first write) for reads and writes
// alike. An installed program (SettingsExeDirInstalled) always uses the
// per-user directory, root too: it never writes beside itself. The choice is
// made once, when the path is computed.
//
// A file that is not INI text (binary bytes, unreadable, not a regular file,
// larger than 1 MiB) reads as defaults and is never modified: a write into it
// fails (returns 0) rather than replacing what the user keeps there.
//
// Writes never go through a symbolic link that leads out of the settings
// folder (the one the INI lives in): Quillmark.ini linked to a file elsewhere
// is read as usual but never written, and a write fails (0) with the reason
// in GetLastSettingsWriteError. A link to a file inside the folder (or one
// below it) is written through; a dangling link is never written through
// (the file it names is not invented), wherever it points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int32_t SETTINGS_INDEX = 255;           // selects the section "Config"
constexpr int32_t SETTINGS_PATH_SIZE = 384;       // directory and INI path buffers
constexpr int32_t SETTINGS_EXE_DIR_SIZE = 260;    // GetExeDirectory's destination, at least
constexpr int32_t SETTINGS_VALUE_SIZE = 256;      // string value: 255 characters + terminator

// The keys of the section, named once.
constexpr const char* SETTINGS_KEY_PORT = "ComPort";          // COMn of the dongle, 1..255
constexpr int32_t SETTINGS_DEFAULT_PORT = 1;
constexpr const char* SETTINGS_KEY_CHANNEL = "Channel";       // 11..26
constexpr const char* SETTINGS_KEY_WIRESHARK = "Wireshark";   // the program Start launches
constexpr const char* SETTINGS_KEY_MODE = "Mode";             // 0 Wireshark, 1 Save to .pcap file
constexpr const char* SETTINGS_KEY_PCAP_FILE = "PcapFile";    // the file of Save to .pcap file

extern const char* const SETTINGS_DEFAULT_WIRESHARK;   // "wireshark" on POSIX

// Computes the settings directory and path from the executable's directory.
void InitSettingsPath();
// Same rule for a given directory (tests and tools), with the folders this
// build installs into (SettingsBuiltInstallDirs).
void InitSettingsPathFor(const char* pszExeDir);
// Same rule with the install folders given: a ':'-separated list of absolute
// folders ("" for none), as SettingsExeDirInstalled takes them.
void InitSettingsPathFor(const char* pszExeDir, const char* pszInstallDirs);

// Whether a program in pszExeDir is an installed one, which keeps its
// settings per user: the folder, resolved (links followed), is one of the
// system's program folders (/usr/bin, /usr/sbin, /usr/local/bin,
// /usr/local/sbin, /bin, /sbin), a Wireshark extcap folder under /usr
// (/usr/.../wireshark/extcap), or one of pszInstallDirs (':'-separated
// absolute folders, each resolved as far as it exists; relative ones are
// ignored). A build tree or an unpacked folder anywhere else is not. Always
// false on Windows, where a program folder the user may not write to
// (Program Files) already sends the settings to %APPDATA%.
bool SettingsExeDirInstalled(const char* pszExeDir, const char* pszInstallDirs);
// The folders this build installs programs into, as configured: the
// install prefix's bin/ and Wireshark's extcap folder (QM_INSTALL_DIRS at
// compile time; "" on Windows and when not given).
const char* SettingsBuiltInstallDirs();
// Directory of the running executable; "" when it cannot be found or does not
// fit SETTINGS_EXE_DIR_SIZE bytes.
void GetExeDirectory(char* pszDir /* >= SETTINGS_EXE_DIR_SIZE */);
const char* GetSettingsPath();        // the INI file in use ("" before InitSettingsPath)
const char* GetSettingsDirectory();   // its directory

int32_t ReadSettingInt(int32_t nIndex, const char* pszKey, int32_t nDefault);
int32_t WriteSettingInt(int32_t nIndex, const char* pszKey, int32_t nValue);         // 1 ok, 0 fail
// Fills pszOut (SETTINGS_VALUE_SIZE bytes) and returns the number of characters
// stored. A longer value is cut to fit; *pnWholeLen (when given) receives the
// whole value's length, so that a caller can tell a cut value from a whole one
// (a cut path names some other file).
int32_t ReadSettingString(int32_t nIndex, const char* pszKey, const char* pszDefault, char* pszOut,
    size_t* pnWholeLen = nullptr);
// pszValue nullptr removes the key. Values with line breaks are refused (0).
int32_t WriteSettingString(int32_t nIndex, const char* pszKey, const char* pszValue);  // 1 ok, 0 fail

// Why the calling thread's last WriteSettingInt / WriteSettingString failed,
// as a line for the user: "Settings not saved: Quillmark.ini is a link to
// /tmp/pw, outside /home/me/Quillmark", "Settings not saved: /opt/qm is not
// writable: Permission denied". "" after a write that succeeded, and after a
// failure whose reason the store does not know (a file that is not INI text,
// a refused name or value, no settings path).
std::string GetLastSettingsWriteError();

// Section name for an index: "Config_%d" up to 4 (negative ones included), "Config" from 5.
void SettingsSectionName(int32_t nIndex, char* pszOut /* >= 64 */);

// Decides whether a directory can hold the settings file (default: writable
// by the user). Tests replace it; nullptr restores the default.
typedef bool (*PFN_SETTINGS_DIR_PROBE)(const char* pszDir);
void SetSettingsDirProbe(PFN_SETTINGS_DIR_PROBE pfnProbe);
