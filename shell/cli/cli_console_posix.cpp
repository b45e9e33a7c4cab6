#include "shell/cli/cli_console.h"

#include <unistd.h>

bool IsStdoutTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool IsStderrTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}
