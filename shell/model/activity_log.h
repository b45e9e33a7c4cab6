// The activity log: LogPrintf builds "hh:mm:ss  message\n" and sends it to the
// log's target (WM_LOG_TEXT), the capture model, whose log box shows one line
// per message and starts afresh once it holds more than LOG_MAX_LINES lines.
#pragma once

#include <cstdint>
#include <string>

class CMsgTarget;

// Lets the compiler check the arguments against the format where it can.
#if defined(__GNUC__) || defined(__clang__)
#define QM_PRINTF_FORMAT(nFormat, nFirstArg) __attribute__((format(printf, nFormat, nFirstArg)))
#else
#define QM_PRINTF_FORMAT(nFormat, nFirstArg)
#endif

constexpr int32_t LOG_MAX_LINES = 200;    // largest line count at which a text is still appended
constexpr int32_t LOG_PREFIX_LEN = 10;    // "hh:mm:ss  "

// Where LogPrintf sends its texts (null: nowhere). The capture model sets
// itself while it lives. Window thread only.
void SetLogTarget(CMsgTarget* pTarget);
CMsgTarget* GetLogTarget();

// printf-style; does nothing while the log has no target, and drops the
// message when the local time cannot be read. Window thread only.
void LogPrintf(const char* pszFormat, ...) QM_PRINTF_FORMAT(1, 2);

// The prefix "%02d:%02d:%02d  ", the message, then one line feed.
std::string BuildLogText(int32_t nHour, int32_t nMinute, int32_t nSecond, const char* pszMessage);

// What the log box inserts for one log text: the text as one line with a
// single line end. The line feeds that end the text (messages bring their own
// and LogPrintf adds one) become that one line end, a CR LF inside the text
// stays a line break, and any other lone CR or LF shows as a blank. An empty
// text gives "" (nothing is inserted).
std::string LogTextToBoxText(const char* pszText);
