// Work on a thread of its own that a fault ends without ending the process.
#pragma once

#include <windows.h>

// Runs work(context) on a thread of its own and waits for it. A fault on that
// thread (an access violation inside GDI, say) ends that thread only: false
// is returned and the process goes on. Also false when the thread cannot
// start or is still busy after timeoutMs (it is then terminated).
bool RunGuarded(DWORD (*work)(void* context), void* context, DWORD* result, DWORD timeoutMs);
