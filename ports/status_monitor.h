// The status monitor thread: watches one open port, records the bytes the
// printer sends back, signals the two named events, and serves the monitor
// messages of portdriver/control_codes.h.
#pragma once

#include "platform/types.h"

// Thread routine. The parameter, when not null, is an event signalled once
// the thread's message queue exists (so that posts to it cannot fail).
// Returns 1 when the thread ends.
DWORD StatusThreadProc(LPVOID readyEvent);
