// The engine's own window: what is posted to it and its timers. Shared by
// the engine's source files only.
#pragma once

#include <cstdint>

#include "link/msg_wnd.h"

constexpr uint32_t WM_ENGINE_PIPE_EVENT = WM_USER + 1;   // wParam: PIPE_EVENT_*, lParam: generation
constexpr uint32_t WM_ENGINE_STOP = WM_USER + 2;         // wParam: ESessionEnd
constexpr uint32_t WM_ENGINE_CLOSE_PORT = WM_USER + 3;   // once the controller's handler is done with the port
constexpr uint32_t WM_ENGINE_DROP_PORT = WM_USER + 4;    // the dongle went away; the capture waits for it
constexpr uint32_t WM_ENGINE_RETUNE = WM_USER + 5;       // wParam: the channel
constexpr uint32_t ENGINE_WND_ID = 120;
constexpr uint32_t PROGRESS_TIMER_ID = 1;
constexpr uint32_t DURATION_TIMER_ID = 2;
constexpr uint32_t DWELL_TIMER_ID = 3;
constexpr uint32_t RESUME_TIMER_ID = 4;
// The counters are looked at this often while capturing (the Rx label, the
// progress line, a reader that went away on a quiet line).
constexpr uint32_t PROGRESS_MS = 250;
// A dongle that went away is looked for this often.
constexpr uint32_t RESUME_POLL_MS = 250;
