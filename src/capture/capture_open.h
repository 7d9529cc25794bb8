// Opening a native capture: a recording, or a monitor interface that may be missing, away or
// refused to us for a while and is waited for.
#pragma once

#include "capture/native_capture.h"

// Seconds between two tries of an interface that is not there or refused.
constexpr int kRetrySeconds = 2;

// Opens the source's interface, trying again every kRetrySeconds while it is not there or the
// capture is refused, saying so once (when `announce`) and keeping the status's capture state.
// A stop ends the wait. Ends the process when the interface cannot work (before any success).
void waitForInterface(NativeCapture& capture, bool announce);
