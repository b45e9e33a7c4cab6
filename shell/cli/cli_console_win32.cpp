#include "shell/cli/cli_console.h"

#include <windows.h>

namespace {

// A console, not a file or pipe: only a console has a console mode.
bool IsConsole(DWORD dwStd)
{
    const HANDLE h = GetStdHandle(dwStd);
    DWORD dwMode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR
        && GetConsoleMode(h, &dwMode) != 0;
}

} // namespace

bool IsStdoutTerminal()
{
    return IsConsole(STD_OUTPUT_HANDLE);
}

bool IsStderrTerminal()
{
    return IsConsole(STD_ERROR_HANDLE);
}
