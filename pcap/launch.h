// Starting Wireshark: the program is run directly (never through a shell) as
// a detached process that nobody waits for and that never lingers as a zombie.
#pragma once

#include <cstdint>
#include <string>

#include "base/os_error.h"

// The Start check. A bare program name must be found in the system's program
// search path; a name that holds a directory part passes when anything exists there.
bool ProgramExists(const char* pszPath);

// What the launch runs for pszPath: a name with a directory part as given, a
// bare name as the first program of that name in the search path; "" when a
// bare name is not found (or pszPath is empty).
std::string ResolveProgram(const char* pszPath);

// Starts pszPath with the arguments ppszArgs[0..nArgs) (argv[0] is pszPath).
// Returns no error (kind None) once the program runs; else the reason, with the
// system's number in m_nCode (2 when it is not found). The program is detached
// from us (own session, none of our open files or handles beyond the standard
// ones) and is not our child.
COsError LaunchDetached(const char* pszPath, const char* const* ppszArgs, int32_t nArgs);
