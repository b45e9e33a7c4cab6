// A message pump for tests of the window layer, whose own header cannot sit
// beside <windows.h>.
#pragma once

#include <cstdint>

// Dispatches the calling thread's messages for nMs. A posted WM_QUIT is
// dispatched like any other message, so only the time ends it.
void PumpMessagesFor(uint32_t nMs);
// Pumps until *pbDone (read on this thread) or nMs; true when done.
bool PumpUntil(const bool* pbDone, uint32_t nMs);
uint32_t CurrentThreadId();
