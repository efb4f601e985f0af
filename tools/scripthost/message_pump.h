// The only places where the host dispatches the thread's window messages:
// WScript.Sleep and WScript.DoEvents. COM objects' events arrive through them.
#pragma once
#include <windows.h>

namespace velkomb::scripthost {

// Dispatches every message waiting now; stops early once stop turns true.
void DispatchWaitingMessages(const bool& stop);
// Dispatches messages as they arrive for milliseconds, sleeping in between;
// returns early once stop turns true (a message handler ended the script).
void PumpMessagesFor(DWORD milliseconds, const bool& stop);

} // namespace velkomb::scripthost
