// What the settings store needs from the operating system: whole-file reads,
// atomic whole-file replacement, directories, and where the user's
// configuration lives. One backend per platform (settings_os_posix.cpp).
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t SETTINGS_FILE_OK = 0;        // read; strText holds the bytes
constexpr int32_t SETTINGS_FILE_MISSING = 1;   // no such file (or a missing directory)
constexpr int32_t SETTINGS_FILE_UNUSABLE = 2;  // exists but cannot be read whole: not a regular
                                               // file, no permission, I/O error, too large

// Reads at most nMaxLen bytes; a longer file is SETTINGS_FILE_UNUSABLE. Never
// blocks on a FIFO and never modifies the file.
int32_t SettingsReadFile(const char* pszPath, size_t nMaxLen, std::string& strText);

// Whether a write to pszPath stays in the folder pszPath lies in. true when
// pszPath is no symbolic link (or is missing), and for a link whose final
// target lies inside that folder or one below it, both resolved. false for a
// link that leads out of the folder and for a dangling link wherever it
// points (a write would have to invent the file it names), with strWhy
// saying so: "Settings not saved: Quillmark.ini is a link to <target>,
// outside <folder>" / "..., which does not exist". Reads never ask this.
bool SettingsWriteStaysInFolder(const char* pszPath, std::string& strWhy);

// Replaces the file with strText: a temporary file in the same directory,
// flushed to disk, renamed over the old one, then the directory flushed. An
// existing file keeps its permissions; a symbolic link that stays in its
// folder (SettingsWriteStaysInFolder) keeps pointing at the file it names,
// which is the one replaced; any other link is refused. false leaves the old
// file as it was, and puts the reason, when one is known, in *pstrWhy
// ("Settings not saved: ..."; left alone when none is known).
bool SettingsReplaceFile(const char* pszPath, const std::string& strText, std::string* pstrWhy = nullptr);

// Whether the user may create files in the directory.
bool SettingsDirWritable(const char* pszDir);

// Creates the directory and its missing parents; existing ones are left as
// they are. New ones get exactly nNewMode on POSIX, whatever the umask
// (private to the user by default; Windows: the parent's permissions). On
// failure the system's last error tells why.
constexpr uint32_t SETTINGS_DIR_MODE = 0700;
bool SettingsMakeDirs(const char* pszDir, uint32_t nNewMode = SETTINGS_DIR_MODE);

// The user's configuration home: $XDG_CONFIG_HOME when it is an absolute path,
// else $HOME/.config (the password database's home when HOME is unset).
// false when there is none.
bool SettingsUserConfigHome(std::string& strDir);
