// What the Windows backend's stop handler does with each console control
// event. Only a hold installs the handler (its first wait for a stop does),
// so a run without -w keeps the system's handling of every event. Apart from
// <windows.h>, so that the tests can read it.
#pragma once

#include "platform/platform.h"

namespace plat {
namespace win32_backend {

// The SDK's event codes; the backend checks them against <windows.h>.
const DWORD kCtrlC = 0;
const DWORD kCtrlBreak = 1;
const DWORD kCtrlClose = 2;
const DWORD kCtrlLogoff = 5;
const DWORD kCtrlShutdown = 6;

const DWORD kPassOn = 0;  // to the system's default handler, which ends the program
const DWORD kStop = 1;    // a stop request, as Ctrl-C makes it
// A stop request after which the system ends the program as soon as the
// handler returns: the handler waits for the change under way to finish.
const DWORD kStopAndLinger = 2;
// A hold started at boot runs as SYSTEM, which hears of every user's logoff.
const DWORD kKeepHolding = 3;

inline DWORD ConsoleEventAction(DWORD event) {
    if (event == kCtrlC || event == kCtrlBreak) return kStop;
    if (event == kCtrlClose || event == kCtrlShutdown) return kStopAndLinger;
    if (event == kCtrlLogoff) return kKeepHolding;
    return kPassOn;
}

// What the handler returns: TRUE for an event it deals with, the logoff that
// it ignores included; FALSE passes the event on to the system's handler.
inline BOOL ConsoleEventHandled(DWORD event) { return ConsoleEventAction(event) != kPassOn; }

}  // namespace win32_backend
}  // namespace plat
