// Starting Wireshark: the program is run directly (never through a shell) as
// a detached process that nobody waits for and that never lingers as a zombie.
#pragma once

#include <cstdint>
#include <string>

// The Start check. A bare name (no '/') must be an executable file in a PATH
// directory; a path with '/' passes when anything exists there.
bool ProgramExists(const char* pszPath);

// What the launch runs for pszPath: a path with '/' as given, a bare name as
// the first executable file of that name in PATH; "" when a bare name is not
// found (or pszPath is empty).
std::string ResolveProgram(const char* pszPath);

// Starts pszPath with the arguments ppszArgs[0..nArgs) (argv[0] is pszPath).
// Returns 0 once the program runs, else the error number (2 when it is not
// found). The program gets its own session, inherits none of our descriptors
// beyond 0-2, and is not our child.
int32_t LaunchDetached(const char* pszPath, const char* const* ppszArgs, int32_t nArgs);
