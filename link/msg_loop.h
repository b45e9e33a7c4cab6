// The event loop of the portable window backend (library qm_wnd_loop): no
// toolkit and no OS headers. Windows made with CMsgWnd::CreateWnd under this
// backend get their posted messages and timers on the thread that turns the
// loop. A program that links this backend turns it with MsgLoopRun (or in
// slices with MsgLoopRunFor, as tests do); handlers may turn it again inside.
#pragma once

#include <cstdint>

// Delivers posted messages and timers until MsgLoopQuit.
void MsgLoopRun();

// Delivers for up to nMs (0: only what is ready now). True when it ended
// because MsgLoopQuit was called.
bool MsgLoopRunFor(uint32_t nMs);

// Any thread. Ends the innermost run in progress once its current handler
// returns, or the next one to start if none runs now (a quit is never lost).
// Messages still queued stay for the next run.
void MsgLoopQuit();
