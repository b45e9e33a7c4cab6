// What the command needs to know of its standard streams.
#pragma once

bool IsStdoutTerminal();
bool IsStderrTerminal();
