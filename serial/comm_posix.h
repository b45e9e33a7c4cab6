// Shared between the POSIX halves of the comm layer; not for use above it.
#pragma once

#include <cstdint>

#include "serial/comm_api.h"

void CommSetLastError(int32_t nError);
int CommEventFd(COMM_EVENT h);   // the descriptor a wait polls, -1 for no event
